"""The swarm demo, run from the repository root as `python3 -m demo.demo` (or `make demo`)."""
