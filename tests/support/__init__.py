"""The test harness every test folder shares (tests/conftest.py puts tests/ on sys.path).

- `support.logs`: `RecordingLogger` (entries of `LogEntry`, which compare equal to plain
  (level, message, fields) tuples) and `NullLogger`.
- `support.transport`: `FakeTransport`, the stand-in for the gRPC transport: scripted or keyed
  answers, recorded calls, `make_class()` for the core's namespace; `RecordingInterceptor`, which
  notes the calls of a real one.
- `support.hostile`: objects and failures that misbehave on purpose (`Hostile` with generated
  protocol methods, subclasses of the built-in types, `FakeRpcError`, the named exception kinds,
  value recipes, `HostileLogger`) and the `Tracker` of what the fakes raised.
- `support.leaks`: `assert_no_leaks`, reference counts and allocated blocks around a workload.
- `support.core`: the `core` and `client` fixtures and the helpers that point the core's
  module names at fakes (`patched`, `client_on`, `closing_clients`, ...).
- `support.hardening`: the method table read from the class, an in-process mediator over
  simulated meters, plausible calls, the outcome oracle and the session counters.
- `support.records`: data records for SendMessage (event log, profile log requests).
- `support.processes`: a child process in the background (`running`), Ctrl-C for it
  (`interrupt`), and the environment that makes it run this same package (`package_env`); the
  halvex tool run to its end (`run_tool`) or in the background (`running_tool`).

Environment:
- HALVEX_HARDENING_SUMMARY=1: print the hardening counters at the end of the session (as
  `pytest -v` does); a plain run ends with pytest's own line.
- HARDENING_EXAMPLES: hypothesis examples per method in the hostile-world test (default 120).
"""
