"""The examples run, and what they leave behind answers like a scan."""

from __future__ import annotations

import importlib.util
import sys
from pathlib import Path

import scan_oracle as so

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def load(name):
    spec = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module  # as an import does (dataclasses look the module up)
    spec.loader.exec_module(module)
    return module


def test_catalogue(capsys):
    catalogue = load("catalogue")
    original = {p.sku: p.cents for p in catalogue.make_catalogue(4000)}
    result = catalogue.main(4000)
    out = capsys.readouterr().out
    assert "remove_object_many (discontinued Halcyon products)" in out
    index, products = result["catalogue"], result["products"]
    # Facets and the first page were taken before any change, on the catalogue as made.
    fresh = catalogue.make_catalogue(4000)
    shown = [p for p in fresh if search_matches(p, "home", 20, 80)]
    expected_brands = {}
    for p in shown:
        expected_brands[p.brand] = expected_brands.get(p.brand, 0) + 1
    assert result["brand_facets"] == expected_brands
    assert [p.cents for p in result["cheapest"]] == sorted(p.cents for p in shown)[:20]
    removed = {id(p) for p in result["removed"]}
    assert result["removed"] and result["discounted"]
    # Removed, then narrowed to what is in stock.
    members = [p for p in products if id(p) not in removed and p.stock > 0]
    so.check_result(index.collect(), members, "catalogue")
    assert len(index) == len(members) and all(p not in index for p in result["removed"])
    for p in result["discounted"]:
        assert p.cents == round(round(original[p.sku] / 100 * 0.8, 2) * 100)
    # The searches of the page, on what is left and its current values.
    for args in [("home",), (None, 20, 80, ["Acme", "Fjord"], True), (None, None, 15),
                 ("kitchen", 100, None), (None, None, None, (), False, "sale")]:
        query = catalogue.search(*args)
        expected = [p for p in members if search_matches(p, *args)]
        so.check_result(index.reduced_query(query).collect(), expected, f"search{args}")
    # The search kept aside lists what it listed, removed products included.
    assert len(result["snapshot"]) == len([p for p in products
                                           if p.category.department == "home"])


def search_matches(p, department=None, low=None, high=None, brands=(), in_stock=False, tag=None):
    return ((department is None or p.category.department == department)
            and (low is None or p.cents >= round(low * 100))
            and (high is None or p.cents <= round(high * 100))
            and (not brands or p.brand in brands)
            and (not in_stock or p.stock > 0)
            and (tag is None or tag in p.tags))
