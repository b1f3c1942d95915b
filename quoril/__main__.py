"""``python -m quoril``: the command-line inspector (see :mod:`quoril.cli`)."""

from quoril.cli import main

raise SystemExit(main())
