// data_ops.cpp - placeholder; filled in by its own change.
