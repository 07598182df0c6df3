"""The last step of every benchmark: its lines to the console and to a
Markdown file in bench/results/ (not kept in git)."""
import os


def publish(path: str, title: str, lines: list[str]) -> None:
    print("\n".join(lines))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(f"# {title}\n\n" + "\n".join(lines) + "\n")
    print(f"\nwritten: {path}")
