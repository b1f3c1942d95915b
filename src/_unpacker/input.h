// Byte input shared by unpackb and Unpacker.feed.
#pragma once
#include "_cquoril/ref.h"

// A contiguous read-only view of any exporter of 1-byte items; 1 on success,
// 0 with an exception set. The caller releases `view` on success.
int get_data_from_buffer(PyObject* obj, Py_buffer* view, const char** buf, Py_ssize_t* buf_len);

// Sets the exception for a decoder result that is neither a completion, a
// need for more input, nor an error already raised.
void raise_for_result(int code);
