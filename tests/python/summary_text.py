"""Reading the tables of the summary that tier-jsonl, tier-parquet and retier print."""

import re

_HEAD = re.compile(r"^(tier|action) +items +share$")
_ROW = re.compile(r"^([a-z_()]+) +([\d,]+) +[\d.]+%$")


def summary_tables(text):
    """{"tier": [(name, count), ...], "action": [...]}, rows in printed order."""
    tables = {}
    rows = None
    for line in text.splitlines():
        head = _HEAD.match(line)
        if head:
            rows = tables.setdefault(head.group(1), [])
            continue
        row = _ROW.match(line) if rows is not None else None
        if row:
            rows.append((row.group(1), int(row.group(2).replace(",", ""))))
        else:
            rows = None
    return tables


def assert_most_first_then_by_name(text):
    """Both tables list the largest count first, equal counts in name order."""
    tables = summary_tables(text)
    assert set(tables) == {"tier", "action"}, text
    for rows in tables.values():
        assert rows, text
        assert rows == sorted(rows, key=lambda row: (-row[1], row[0])), text
    return tables


# Records whose counts tie, listed so that the order they are met in is
# neither the order of the counts nor that of the names: (days since recall,
# retrieval count, importance, frequency, is_procedural, keep_forever).
TIED_RECORDS = [
    (3.0, 2, 0.5, 0.5, False, False),  # hot, inject_to_prompt
    (3.0, 2, 0.5, 0.5, False, False),
    (3.0, 2, 0.5, 0.5, False, False),
    (0.0, 0, 0.0, 0.0, False, False),  # warm_semantic, long_term_semantic
    (200.0, 0, 0.0, 0.0, False, False),  # cold, archive_on_demand
    (200.0, 0, 0.0, 0.0, False, False),
    (1000.0, 0, 0.0, 0.0, False, True),  # warm_semantic, keep_forever_tag
]
TIED_SUMMARY = {
    "tier": [("hot", 3), ("cold", 2), ("warm_semantic", 2)],
    "action": [("inject_to_prompt", 3), ("archive_on_demand", 2), ("keep_forever_tag", 1),
               ("long_term_semantic", 1)],
}
