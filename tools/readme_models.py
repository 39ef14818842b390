"""Regenerate the README's table of models from the installed module (python tools/readme_models.py), or
check that it is current (--check, exit 1 when it is not)."""
import sys
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"
BEGIN, END = "<!-- models: begin -->", "<!-- models: end -->"


def table() -> str:
    from vardex.models import MODELS, NOTES, SNOW_PARAMETERS, describe

    rows = ["| model | N | parameters |", "|---|---|---|"]
    for name in MODELS:
        params = "; ".join(f"{p}: {d}" for p, d in describe(name).items())
        note = f" *{NOTES[name]}.*" if name in NOTES else ""
        rows.append(f"| `{name}` | {len(describe(name))} | {params}{note} |")
    snow = "; ".join(f"{p}: {d}" for p, d in SNOW_PARAMETERS.items())
    rows.append(f"| `cemaneige` (snow, in front of any model) | 3 | {snow} |")
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
