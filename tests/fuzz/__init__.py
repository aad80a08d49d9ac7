"""Fuzz driver and the plain-Python model of the map that the tests share."""
