"""A web-shop catalogue on Quorvane: products with a brand, a category (an object of its own),
a price, tags and stock; filters as a shop's search page combines them, counts, facets and
sorted pages, price updates, products leaving the catalogue, and a snapshot of a search kept while
the catalogue changes.

Run: python examples/catalogue.py [number of products]   (default 300,000)
"""

from __future__ import annotations

import dataclasses
import random
import sys
import time

from Quorvane import Index, Indexable, PyQueryExpr as Q

BRANDS = ["Acme", "Borealis", "Cobalt", "Dunmore", "Elkhorn", "Fjord", "Granite", "Halcyon"]
COLOURS = ["black", "white", "red", "blue", "green", "grey"]
TAGS = ["new", "sale", "eco", "bestseller", "limited", "refurbished"]


@dataclasses.dataclass(frozen=True)
class Category(Indexable):
    """Categories are values shared by many products; a product query reaches them by path."""

    name: str
    department: str


CATEGORIES = [Category("lamps", "home"), Category("chairs", "home"), Category("desks", "office"),
              Category("monitors", "office"), Category("kettles", "kitchen"),
              Category("knives", "kitchen")]


class Product(Indexable):
    @property
    def price(self):
        """Shown in euros; kept (and indexed) in cents, so that prices compare exactly."""
        return self.cents / 100

    @price.setter
    def price(self, euros):
        self.cents = round(euros * 100)


def make_catalogue(n, seed=7):
    rng = random.Random(seed)
    return [
        Product(sku=f"SKU{i:07d}", brand=rng.choice(BRANDS), category=rng.choice(CATEGORIES),
                price=round(rng.uniform(5, 900), 2), colour=rng.choice(COLOURS),
                tags=rng.sample(TAGS, rng.randint(0, 2)), stock=rng.choice([0, 0, 1, 3, 12, 40]),
                rating=round(rng.uniform(1, 5), 1))
        for i in range(n)
    ]


# The search page: a department, a price range in euros (either end may be left open), the
# brands ticked, and "in stock only".
def search(department=None, low=None, high=None, brands=(), in_stock=False, tag=None):
    parts = []
    if department is not None:
        parts.append(Q.eq("category.department", department))
    if low is not None or high is not None:
        parts.append(Q.bt("cents", None if low is None else round(low * 100),
                          None if high is None else round(high * 100)))
    if brands:
        parts.append(Q.in_("brand", set(brands)))
    if in_stock:
        parts.append(Q.gt("stock", 0))
    if tag is not None:
        parts.append(Q.eq("tags", tag))
    return Q.and_(*parts)


def timed(label, fn):
    start = time.perf_counter()
    result = fn()
    ms = (time.perf_counter() - start) * 1000
    shown = len(result) if hasattr(result, "__len__") else result
    print(f"  {label:<62} {shown!s:>9}  {ms:8.2f} ms")
    return result


def main(n=300_000):
    products = make_catalogue(n)
    print(f"Quorvane catalogue of {n:,} products\n")
    catalogue = Index()
    timed("add_object_many (every product)", lambda: catalogue.add_object_many(products) or n)

    print("\nsearches (matches, time)")
    home = timed("home department", lambda: catalogue.reduced_query(search("home")))
    timed("home, 20-80 EUR, Acme or Fjord, in stock",
          lambda: catalogue.reduced_query(search("home", 20, 80, ["Acme", "Fjord"], True)))
    timed("under 15 EUR (open lower end), on sale",
          lambda: catalogue.reduced_query(search(high=15, tag="sale")))
    timed("rated 4.5 or more, not black, kitchen or office",
          lambda: catalogue.reduced_query(
              Q.ge("rating", 4.5) & ~Q.eq("colour", "black")
              & (Q.eq("category.department", "kitchen") | Q.eq("category.department", "office"))))
    counts = {d: catalogue.count(search(d)) for d in ("home", "office", "kitchen")}
    print(f"  counts per department: {counts}")

    print("\nthe search page: facets and the first page, sorted")
    page_view = catalogue.reduced_query(search("home", 20, 80))
    brands = timed("brand facets of the home 20-80 EUR search",
                   lambda: page_view.count_by("brand"))
    print(f"  {dict(sorted(brands.items()))}")
    timed("tag facets (a product counts once per tag)", lambda: page_view.count_by("tags"))
    cheapest = timed("first page by price (20 products)",
                     lambda: page_view.order_by("cents").limit(20).collect())
    print(f"  from {cheapest[0].price:.2f} to {cheapest[-1].price:.2f} EUR")
    timed("third page, dearest first", lambda: page_view.order_by("cents", descending=True)[40:60])

    print("\nprice updates and stock")
    sale = catalogue.reduced_query(Q.eq("brand", "Cobalt") & Q.eq("category.name", "lamps"))
    before = len(catalogue.reduced_query(search(high=50)))

    def discount():
        for product in sale:
            product.price = round(product.price * 0.8, 2)  # every index follows
        return sale

    timed("20% off every Cobalt lamp (assignments)", discount)
    timed("under 50 EUR after the discount", lambda: catalogue.reduced_query(search(high=50)))
    print(f"  under 50 EUR before the discount: {before}")
    sold_out = catalogue.reduced_query(Q.eq("stock", 0))
    timed("restock 1,000 sold-out products", lambda: [setattr(p, "stock", 5) for p in
                                                      list(sold_out)[:1000]])

    print("\nproducts leaving the catalogue")
    snapshot = catalogue.reduced_query(search("home"))  # a search result kept aside
    discontinued = catalogue.reduced_query(Q.eq("brand", "Halcyon") & Q.lt("rating", 2.0))
    timed("remove_object_many (discontinued Halcyon products)",
          lambda: catalogue.remove_object_many(discontinued) or len(discontinued))
    one = products[0] if products[0] in catalogue else products[1]
    timed("remove_object (one product)", lambda: catalogue.remove_object(one) or 1)
    timed("discard_object (the same product again: nothing to do)",
          lambda: catalogue.discard_object(one) or 0)
    print(f"  catalogue size: {len(catalogue):,}; the home search kept aside still lists "
          f"{len(snapshot):,} products, a new one lists "
          f"{len(catalogue.reduced_query(search('home'))):,}")
    timed("narrow the catalogue to what is in stock (reduce by query)",
          lambda: catalogue.reduce(Q.gt("stock", 0)) or len(catalogue))
    return {"catalogue": catalogue, "products": products, "snapshot": snapshot,
            "removed": list(discontinued) + [one], "discounted": list(sale),
            "brand_facets": brands, "cheapest": cheapest}


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 300_000)
