"""Discrete feedback controllers over NumPy float64 arrays (see ``vesk.cython_pid``)."""
