"""Benchmarks, run from the repository root as `python3 -m bench.NAME`."""
