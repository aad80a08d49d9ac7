"""A first look at vornic: keys carrying tag sets, queried by tag."""

import vornic


def show(label, value):
    # Results are plain sets and lists in no set order: sorted for stable output.
    if isinstance(value, (set, list)):
        value = sorted(value)
    print(f"{label:<26}{value}")


photos = vornic.Vornic({
    "beach.jpg": ["holiday", "sea", "2023"],
    "alps.jpg": ["holiday", "mountain", "2024"],
    "office.jpg": ["work", "2024"],
})
photos["harbour.jpg"] = ["sea", "work", "2024"]  # assignment sets the whole tag set

show("tags of alps.jpg:", photos["alps.jpg"])
show("holiday AND 2024:", photos.find(["holiday", "2024"]))
show("the same, as arguments:", photos.query("holiday", "2024"))
show("sea OR mountain:", photos.find_any(["sea", "mountain"]))
show("how many from 2024:", photos.count(["2024"]))

photos.add_tag("office.jpg", "archived")
photos.add_tags("beach.jpg", ["family", "summer"])
photos.remove_tag("harbour.jpg", "work")
show("office.jpg archived?", photos.has_tag("office.jpg", "archived"))
show("tags of beach.jpg:", photos["beach.jpg"])

show("erased (archived):", photos.erase_where(["archived"]))
show("keys left:", photos.keys())
show("tags in use:", photos.tags())
