"""Regenerate the README's table of models from the installed module (python tools/readme_models.py), or
check that it is current (--check, exit 1 when it is not)."""
import sys
from pathlib import Path

import vardex_rs

README = Path(__file__).resolve().parent.parent / "README.md"
BEGIN, END = "<!-- models: begin -->", "<!-- models: end -->"


def table() -> str:
    rows = ["| model | N | parameters |", "|---|---|---|"]
    for name in (k for k in vars(vardex_rs.hydro) if not k.startswith("__")):
        module = getattr(vardex_rs.hydro, name)
        params = "; ".join(f"{p}: {d}" for p, d in zip(module.param_names, module.param_descriptions))
        rows.append(f"| `{name}` | {len(module.param_names)} | {params} |")
    return "\n".join(rows)


def render(text: str) -> str:
    head, rest = text.split(BEGIN, 1)
    _, tail = rest.split(END, 1)
    return f"{head}{BEGIN}\n{table()}\n{END}{tail}"


if __name__ == "__main__":
    current = README.read_text(encoding="utf-8")
    wanted = render(current)
    if "--check" in sys.argv[1:]:
        sys.exit(0 if wanted == current else 1)
    README.write_text(wanted, encoding="utf-8")
