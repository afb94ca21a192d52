#!/usr/bin/env python3
"""Makes examples/survey.csv: a small, realistic survey data set.

300 respondents: identifiers, demographics, five Likert items (1-5, 9 = refused),
a household income with missing values (empty cells), the date of the interview
and a free-text answer holding commas, quotes and non-ASCII letters.
Deterministic (fixed seed), so the file only changes when this script does.
"""
import csv
import datetime
import random

rng = random.Random(20261210)
regions = ["North", "South", "East", "West", "Centre"]
comments = [
    "", "", "",
    "Service was fine, but slow",
    'They said "call back later"',
    "Très bien, merci",
    "Zu teuer für die Qualität",
    "No comment",
    "Prices, prices, prices",
    "Señora López answered for the household",
    "Good; would recommend",
    "Käse & Brot — all fine",
]

with open("examples/survey.csv", "w", newline="", encoding="utf-8") as f:
    w = csv.writer(f)
    w.writerow(["id", "region", "sex", "age", "q1", "q2", "q3", "q4", "q5", "income", "interview", "comment"])
    start = datetime.date(2025, 3, 1)
    for i in range(1, 301):
        likert = [rng.choice([1, 2, 3, 4, 5, 5, 4, 3, 9]) for _ in range(5)]
        income = "" if rng.random() < 0.08 else f"{rng.lognormvariate(10.3, 0.6):.2f}"
        day = start + datetime.timedelta(days=rng.randrange(0, 120))
        w.writerow([1000 + i, rng.choice(regions), rng.choice([1, 2]), rng.randrange(18, 91),
                    *likert, income, day.strftime("%m/%d/%Y"), rng.choice(comments)])
