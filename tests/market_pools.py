"""Pools of the session market shared by test packages."""

from __future__ import annotations


def half_index_and_outsiders(index: str, date: str, outsiders: int) -> list[str]:
    """Every other constituent of `index` on `date` plus the first `outsiders` stocks listed by 2026-05-29
    that are not in it, in ascending order."""
    import zorvata

    members = sorted(zorvata.index_weights(index, date).index)
    listed = sorted(zorvata.all_instruments("CS", "2026-05-29")["order_book_id"])
    others = [i for i in listed if i not in set(members)]
    return sorted(members[::2] + others[:outsiders])
