#!/usr/bin/python3
"""Times the reference renderer (Rich 13, through its public API) and our benchmarks on the same
corpus in one run, and prints the ratios against the targets.

Usage: /usr/bin/python3 bench/compare_rich.py <build-dir>

Reference side (Debian's python3-rich, so run with /usr/bin/python3):
  md            Markdown(text, code_theme="monokai") printed by Console(file=StringIO(), width=72,
                force_terminal=True, color_system="truecolor"), every answer in md/ once; it
                keeps nothing between prints, so this one figure is compared with both our first
                render (caches cleared) and our repeated render (caches warm)
  md no code    the answers without code blocks
  from_ansi     Text.from_ansi on every row of the md output
  wrap          textwrap.wrap(p, 72) on every paragraph (line) of plain/
Our side: <build-dir>/bench/markdown_bench and <build-dir>/bench/text_bench (BM_FromAnsiCorpus,
BM_WrapPlainCorpus) with --benchmark_format=json; a missing executable or benchmark is skipped.
Machines are noisy, so both sides run here and now, both are timed in CPU time (other jobs on a
shared machine then matter less), and only the ratios are compared.
"""

import io
import json
import os
import subprocess
import sys
import textwrap
import time

WIDTH = 72
HERE = os.path.dirname(os.path.abspath(__file__))


def corpus_dir():
    env = os.environ.get("KV_CORPUS_DIR")
    if env:
        return env
    for cand in (os.path.join(HERE, "..", "..", "shared", "bench", "corpus"),
                 os.path.join(HERE, "..", "..", "..", "shared", "bench", "corpus"),
                 "/work/shared/bench/corpus"):
        if os.path.isdir(os.path.join(cand, "md")):
            return os.path.abspath(cand)
    sys.exit("compare_rich: corpus not found; set KV_CORPUS_DIR")


def read_dir(path, suffix):
    out = []
    for name in sorted(os.listdir(path)):
        if name.endswith(suffix):
            with open(os.path.join(path, name), encoding="utf-8", errors="replace") as f:
                out.append(f.read())
    return out


def has_code(text):
    # Same rule as the C++ side: a fenced or indented code block anywhere (CommonMark parser).
    try:
        from markdown_it import MarkdownIt
    except ImportError:
        return "```" in text or "~~~" in text or "\n    " in text
    tokens = MarkdownIt("commonmark").enable("table").parse(text)
    return any(t.type in ("fence", "code_block") for t in tokens)


def best_of(fn, repeat):
    best = None
    result = None
    for _ in range(repeat):
        t0 = time.process_time()
        result = fn()
        dt = time.process_time() - t0
        best = dt if best is None or dt < best else best
    return best, result


def rich_side(corpus):
    from rich.console import Console
    from rich.markdown import Markdown
    from rich.text import Text

    md = read_dir(os.path.join(corpus, "md"), ".md")
    plain = read_dir(os.path.join(corpus, "plain"), ".txt")
    no_code = [t for t in md if not has_code(t)]

    def render(texts):
        out = []
        for t in texts:
            buf = io.StringIO()
            console = Console(file=buf, width=WIDTH, force_terminal=True, color_system="truecolor")
            console.print(Markdown(t, code_theme="monokai"))
            out.append(buf.getvalue())
        return out

    r = {}
    r["md_bytes"] = sum(len(t.encode()) for t in md)
    r["no_code_bytes"] = sum(len(t.encode()) for t in no_code)
    r["no_code_files"] = len(no_code)
    # The reference keeps no rendered output between prints, so a first and a repeated render do
    # the same work; the best of three passes (its start-up costs paid) serves for both.
    r["md_pass"], outputs = best_of(lambda: render(md), 3)
    r["md_no_code"], _ = best_of(lambda: render(no_code), 3)

    rows = [row for o in outputs for row in o.split("\n")]
    r["ansi_dump"] = "\n".join(rows)
    r["ansi_bytes"] = sum(len(x.encode()) for x in rows)
    r["from_ansi"], _ = best_of(lambda: [Text.from_ansi(x) for x in rows], 3)

    paragraphs = [p for t in plain for p in t.split("\n")]
    r["plain_bytes"] = sum(len(p.encode()) for p in paragraphs)
    r["wrap"], _ = best_of(lambda: [textwrap.wrap(p, WIDTH) for p in paragraphs], 5)
    return r


def run_bench(build, name, corpus, bench_filter=None, extra_env=None):
    exe = os.path.join(build, "bench", name)
    if not os.access(exe, os.X_OK):
        print(f"  (skipped: {exe} not built)")
        return {}
    cmd = [exe, "--benchmark_format=json", "--benchmark_min_time=0.3"]
    if bench_filter:
        cmd.append("--benchmark_filter=" + bench_filter)
    env = dict(os.environ, KV_CORPUS_DIR=corpus, **(extra_env or {}))
    try:
        out = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True).stdout
        data = json.loads(out)
    except (subprocess.CalledProcessError, json.JSONDecodeError) as e:
        print(f"  (skipped: {name} failed: {e})")
        return {}
    result = {}
    for b in data.get("benchmarks", []):
        if b.get("error_occurred"):
            continue
        unit = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b.get("time_unit", "ns")]
        result[b["name"]] = {"seconds": b["cpu_time"] * unit,
                             "bytes_per_second": b.get("bytes_per_second")}
    return result


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build = sys.argv[1]
    corpus = corpus_dir()
    print(f"== Rich comparison (corpus {corpus}, width {WIDTH})")
    try:
        r = rich_side(corpus)
    except ImportError as e:
        print(f"  (skipped: reference renderer not importable: {e})")
        return 0
    ours = run_bench(build, "markdown_bench", corpus,
                     "BM_FirstRenderCorpus|BM_RepeatedRenderCorpus|BM_FirstRenderNoCode"
                     "|BM_FirstRenderEachAlone|BM_HighlightCode")
    # text_bench adds the rows of KV_ANSI_DUMP to its from_ansi input: give it the reference's
    # own markdown output, so both sides parse the same kind of rows.
    import tempfile
    with tempfile.NamedTemporaryFile("w", suffix=".ansi", encoding="utf-8") as dump:
        dump.write(r["ansi_dump"])
        dump.flush()
        ours.update(run_bench(build, "text_bench", corpus, "BM_FromAnsiCorpus|BM_WrapPlainCorpus",
                              {"KV_ANSI_DUMP": dump.name}))

    rows = []

    def by_time(label, ours_name, rich_seconds, target):
        o = ours.get(ours_name)
        if not o:
            rows.append((label, f"{rich_seconds * 1e3:9.1f} ms", "   (missing)", "", target, None))
            return
        ratio = rich_seconds / o["seconds"]
        rows.append((label, f"{rich_seconds * 1e3:9.1f} ms", f"{o['seconds'] * 1e3:9.3f} ms",
                     f"{ratio:8.1f}x", target, ratio >= target))

    def by_rate(label, ours_name, rich_seconds, rich_bytes, target):
        o = ours.get(ours_name)
        rich_rate = rich_bytes / rich_seconds
        if not o or not o["bytes_per_second"]:
            rows.append((label, f"{rich_rate / 1e6:7.2f} MB/s", "   (missing)", "", target, None))
            return
        ratio = o["bytes_per_second"] / rich_rate
        rows.append((label, f"{rich_rate / 1e6:7.2f} MB/s",
                     f"{o['bytes_per_second'] / 1e6:7.2f} MB/s", f"{ratio:8.1f}x", target,
                     ratio >= target))

    by_time("md first render (all md/)", "BM_FirstRenderCorpus", r["md_pass"], 10)
    by_time("md repeated render", "BM_RepeatedRenderCorpus", r["md_pass"], 100)
    by_time(f"md no code ({r['no_code_files']} answers)", "BM_FirstRenderNoCode", r["md_no_code"],
            50)
    by_rate("Text.from_ansi", "BM_FromAnsiCorpus", r["from_ansi"], r["ansi_bytes"], 50)
    by_rate("wrap (plain/)", "BM_WrapPlainCorpus", r["wrap"], r["plain_bytes"], 20)

    print(f"  {'':32} {'reference':>14} {'ours':>14} {'ratio':>9}  target")
    for label, ref, mine, ratio, target, ok in rows:
        verdict = "" if ok is None else ("ok" if ok else "BELOW TARGET")
        print(f"  {label:32} {ref:>14} {mine:>14} {ratio:>9}  >={target}x {verdict}")
    alone = ours.get("BM_FirstRenderEachAlone")
    if alone:
        print(f"  (first render with caches cleared before every answer: "
              f"{alone['seconds'] * 1e3:.1f} ms, {r['md_pass'] / alone['seconds']:.1f}x)")
    hl = ours.get("BM_HighlightCode")
    if hl and hl["bytes_per_second"]:
        print(f"  (highlighter: {hl['bytes_per_second'] / 1e6:.2f} MB/s of code, "
              f"{1e6 / hl['bytes_per_second'] * 1e3:.0f} us per KB)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
