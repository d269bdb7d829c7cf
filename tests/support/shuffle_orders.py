"""The golden shuffle orders of shuffle_orders.txt (how they were computed is
said there), as SEED_0 and SEED_1: lists of names as bytes."""

import os


def _orders():
    orders, current = {}, None
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "shuffle_orders.txt")
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            if line.startswith("seed "):
                current = orders.setdefault(int(line[5:]), [])
            else:
                current.append(line.encode())
    return orders


_ORDERS = _orders()
SEED_0 = _ORDERS[0]
SEED_1 = _ORDERS[1]
