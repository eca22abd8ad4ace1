"""vorn: recordings of the unit's stream, and the `vorn` command that makes and
reads them (record, info, export, plot).

A companion of the vorn_rs module in the same distribution. Serial reads and
framing go through the module's own C++ core (the private `_native` helper),
so a recording frames here exactly as MockParser and SerialParser frame it.
"""
