"""Prints how much the hardening suites exercised (hostile calls, injected failures, ...)."""


def pytest_terminal_summary(terminalreporter):
    try:
        import hardening_support as hs
    except ImportError:  # the suites did not run in this session
        return
    if not hs.STATS:
        return
    tr = terminalreporter
    tr.section("hardening")
    for key, value in sorted(hs.STATS.items()):
        tr.write_line(f"{key}: {value}")
    if hs.OUTCOMES:
        by_kind = {}
        for label, count in hs.OUTCOMES.items():
            kind = label.split(": ", 1)[1]
            by_kind[kind] = by_kind.get(kind, 0) + count
        ranked = sorted(by_kind.items(), key=lambda kv: -kv[1])
        tr.write_line("hostile call outcomes: " + ", ".join(f"{k} {v}" for k, v in ranked))
        reached = sorted({label.split(": ", 1)[0] for label, _ in hs.OUTCOMES.items()
                          if not label.endswith(("TypeError", "NotImplementedError"))})
        tr.write_line(f"methods that got past their argument checks at least once: {len(reached)}")
