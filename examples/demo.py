"""A tour of tavrindb_lite: stores, a client and index configurations.

Run it with scripts/demo, which sets everything up first.
"""
import tavrindb_lite as tdb


def main():
    print(tdb.__doc__)
    memory = tdb.DBConfig("memory")
    client = tdb.Client(memory, memory, cpu_threads=0)
    print("client on the in-process store, cpu_threads=%d, gpu=%s"
          % (client.get_cpu_threads(), client.is_gpu_enabled()))
    config = tdb.IndexIVFFlat(dimension=128, n_lists=16, metric="cosine")
    print("index configuration: dimension=%d metric=%s type=%s n_lists=%d"
          % (config.dimension, config.metric, config.index_type, config.n_lists()))
    try:
        tdb.DBConfig("Memory")
    except ValueError as e:
        print("bad location refused:", e)


if __name__ == "__main__":
    main()
