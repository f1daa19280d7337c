"""A tour of Quorvane: index 200k generated objects and run one query of each kind."""
import random
import time

from Quorvane import Index, Indexable, PyQueryExpr as Q

N = 200_000
MAKERS = ["Volvo", "Fiat", "Toyota", "Ford", "Kia", "Skoda", "Mazda", "Honda", "Audi", "Seat"]
COLOURS = ["red", "blue", "green", "black", "white"]


class Dealer(Indexable):
    pass


class Car(Indexable):
    pass


def timed(label, fn):
    start = time.perf_counter()
    result = fn()
    ms = (time.perf_counter() - start) * 1000
    count = len(result) if isinstance(result, list) else result
    print(f"  {label:<58} {count:>8}  {ms:8.2f} ms")
    return result


def main():
    rng = random.Random(7)
    dealers = [Dealer(city=city) for city in ("Oslo", "Lund", "Turku", "Aarhus")]
    cars = [
        Car(
            maker=rng.choice(MAKERS),
            model=f"{rng.choice('ABCDEFGH')}{rng.randrange(1000):03d}",
            price=rng.randrange(5_000, 80_000),
            doors=rng.choice([3, 5]),
            electric=rng.random() < 0.2,
            colours=rng.sample(COLOURS, 2),
            dealer=rng.choice(dealers),
        )
        for _ in range(N)
    ]
    print(f"Quorvane demo over {N:,} cars\n")
    index = Index()
    timed("add_object for every car", lambda: [index.add_object(c) for c in cars] and N)
    bulk = Index()
    timed("add_object_many (the same cars, another index)", lambda: bulk.add_object_many(cars) or N)

    def query(q):
        return lambda: index.reduced_query(q).collect()

    print("\nqueries (count, time)")
    timed("get_by_attribute(maker='Volvo')", lambda: index.get_by_attribute(maker="Volvo"))
    timed("eq(doors, 3)", query(Q.eq("doors", 3)))
    timed("ne(maker, 'Fiat')", query(Q.ne("maker", "Fiat")))
    timed("gt(price, 75000)", query(Q.gt("price", 75_000)))
    timed("ge / lt / le on price", query(Q.and_(Q.ge("price", 20_000), Q.lt("price", 20_500))))
    timed("bt(price, 10000, 10100)", query(Q.bt("price", 10_000, 10_100)))
    timed("in_(maker, ['Kia', 'Audi'])", query(Q.in_("maker", ["Kia", "Audi"])))
    timed("starts_with(model, 'C12')", query(Q.starts_with("model", "C12")))
    timed("ends_with(model, '99')", query(Q.ends_with("model", "99")))
    timed("contains(model, '77')", query(Q.contains("model", "77")))
    timed("eq(electric, True)", query(Q.eq("electric", True)))
    timed("eq(colours, 'red')  (list elements)", query(Q.eq("colours", "red")))
    timed("eq(dealer.city, 'Lund')  (dotted path)", query(Q.eq("dealer.city", "Lund")))
    timed(
        "or_(eq(maker,'Ford'), not_(lt(price, 79000)))",
        query(Q.or_(Q.eq("maker", "Ford"), Q.not_(Q.lt("price", 79_000)))),
    )
    timed(
        "and_(maker='Volvo', doors=5, bt(price, 30000, 40000))",
        query(Q.and_(Q.eq("maker", "Volvo"), Q.eq("doors", 5), Q.bt("price", 30_000, 40_000))),
    )

    print("\nviews, assignment, rebase")
    view = timed("reduced(maker='Volvo')", lambda: index.reduced(maker="Volvo").collect())
    car = view[0]
    car.maker = "Polestar"
    timed("after car.maker = 'Polestar': eq(maker,'Polestar')", query(Q.eq("maker", "Polestar")))
    rebased = index.reduced(maker="Toyota").rebase()
    timed("rebase of the Toyota view, then its electric cars",
          lambda: rebased.get_by_attribute(electric=True))
    print(f"\n{car!r}: dealer.city={car.dealer.city}")


if __name__ == "__main__":
    main()
