"""A pure-Python driver core that the benchmarks measure pysorvel against."""
