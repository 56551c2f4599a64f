"""The demo (the README's main job) and the README's usage example say what they did."""
import os
import pathlib
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def _run(tmp_path, *args):
    out = subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=300,
                         cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    return out.stdout


def test_demo_and_its_second_run(tmp_path):
    demo = os.path.join(ROOT, "examples", "demo.py")
    out = _run(tmp_path, demo)
    lines = out.splitlines()
    for text in ("created index 'articles' in tavrin_demo.sqlite: {'dimension': 16, 'metric': "
                 "'cosine'", "\nupserted 400 items", "\ntrained into 4 lists: is_trained=True\n",
                 "\nuntrained, exhaustive search near doc-005:\n    doc-005  distance 0.000",
                 "get doc-005: [{'id': 'doc-005', 'contents': b'article 5 about music'"):
        assert text in out
    filtered = lines.index("trained, 2 lists probed, only music since 2020:")
    assert all(re.search(r"'topic': 'music', 'year': 202\d", line)
               for line in lines[filtered + 1:filtered + 4])
    assert re.search(r"after delete: get doc-005 -> \[\], nearest now doc-(?!005)\d+$", lines[-2])

    # The second run, a new process, loads what the first one stored.
    lines = _run(tmp_path, demo).splitlines()
    assert re.match(r"loaded index 'articles' from tavrin_demo.sqlite, made by an earlier run: "
                    r"\{'dimension': 16.*is_trained=True$", lines[0])
    assert lines[1] == "nearest to doc-021, 2 lists probed, only music since 2020:"
    assert lines[2].split()[:3] == ["doc-021", "distance", "0.000"]
    assert lines[-1] == "get doc-005 (deleted by the first run): []"


def test_readme_usage_example(tmp_path):
    readme = pathlib.Path(ROOT, "README.md").read_text()
    example = re.search(r"## Usage\n\n```python\n(.*?)```", readme, re.S).group(1)
    assert _run(tmp_path, "-c", example).splitlines() == [
        "[('a', 0.0)]", "[{'id': 'b', 'contents': b'raw bytes'}]"]
