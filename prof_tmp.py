import cProfile, pstats, io, sys, datetime as dt, time
sys.path.insert(0,"src")
import brindle
day = dt.datetime(2024, 1, 1)
def rows(n):
    for r in range(n):
        yield [r, r * 0.25, f"text {r}", r % 3 == 0, day, "=A1*2", None, "é ∑", -r, 1e-7 * r]
def run(native):
    wb = brindle.Workbook(write_only=True, native=native)
    ws = wb.create_sheet("Data")
    t=time.perf_counter()
    for row in rows(20000): ws.append(row)
    t1=time.perf_counter()
    out=io.BytesIO(); wb.save(out)
    t2=time.perf_counter()
    print(native, "append", t1-t, "save", t2-t1)
run(True); run(False)
cProfile.run("run(True)", "/tmp/p.out")
pstats.Stats("/tmp/p.out").sort_stats("tottime").print_stats(12)
