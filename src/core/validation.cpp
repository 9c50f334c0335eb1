// validation.cpp - placeholder; filled in by its own change.
