"""Type stubs of the tavrindb_lite extension module."""
from typing import Any, Sequence, overload

import numpy as np
import numpy.typing as npt

# A 32-byte key: bytes, or a sequence of 32 ints in 0..255.
_Key = Sequence[int]
# The result dicts of query and get.
_Item = dict[str, Any]

class DBConfig:
    # location: "memory", "postgres", "redis" or "sqlite". For "sqlite" the
    # connection string is the database file's path (created when missing)
    # and table_name names a table inside it.
    def __init__(
        self,
        location: str,
        table_name: str | None = None,
        connection_string: str | None = None,
    ) -> None: ...

class IndexConfig:
    @property
    def dimension(self) -> int: ...
    @property
    def metric(self) -> str: ...
    @property
    def index_type(self) -> str: ...
    def n_lists(self) -> int: ...
    def pq_dim(self) -> int: ...
    def pq_bits(self) -> int: ...
    def clone(self) -> IndexConfig: ...

class IndexIVFFlat(IndexConfig):
    def __init__(self, dimension: int, n_lists: int, metric: str = "euclidean") -> None: ...
    def n_lists(self) -> int: ...

class Client:
    def __init__(
        self,
        index_location: DBConfig,
        config_location: DBConfig,
        items_location: DBConfig = ...,
        cpu_threads: int = 0,
        gpu_accelerate: bool = False,
    ) -> None: ...
    def list_indexes(self) -> list[str]: ...
    def create_index(
        self,
        index_name: str,
        index_key: _Key,
        index_config: IndexConfig,
        embedding_model: str | None = None,
        max_cache_size: int | None = 0,
    ) -> EncryptedIndex: ...
    def load_index(
        self, index_name: str, index_key: _Key, max_cache_size: int | None = 0
    ) -> EncryptedIndex: ...
    def load_serialized_index(self, serialized_index: bytes, index_key: _Key) -> EncryptedIndex: ...
    def get_cpu_threads(self) -> int: ...
    def is_gpu_enabled(self) -> bool: ...

class EncryptedIndex:
    def is_trained(self) -> bool: ...
    def index_name(self) -> str: ...
    def index_type(self) -> str: ...
    def index_config(self) -> dict[str, Any]: ...
    def delete_index(self) -> None: ...
    def get(
        self,
        ids: Sequence[str],
        include: Sequence[str] = ["vector", "contents", "metadata"],
    ) -> list[_Item]: ...
    def train(
        self,
        batch_size: int = 2048,
        max_iters: int = 100,
        tolerance: float = 1e-06,
        max_memory: int = 0,
    ) -> None: ...
    @overload
    def upsert(self, arg1: list[dict[str, Any]], arg2: None = None) -> None: ...
    @overload
    def upsert(
        self, arg1: list[str] | npt.NDArray[Any], arg2: npt.NDArray[np.float32]
    ) -> None: ...
    def delete(self, ids: Sequence[str]) -> None: ...
    # One flat list of dicts for a single query, one list per query for a
    # batch: the shape depends on the argument's dimensions.
    def query(
        self,
        query_vector: npt.NDArray[Any] | list[Sequence[float]] | None = None,
        query_contents: str | None = None,
        top_k: int = 100,
        n_probes: int = 1,
        filters: dict[str, Any] = {},
        include: Sequence[str] = ["distance", "metadata"],
        greedy: bool = False,
    ) -> list[Any]: ...
    def train_and_serialize(
        self,
        vectors: npt.ArrayLike,
        batch_size: int = 0,
        max_iters: int = 0,
        tolerance: float = 1e-06,
        max_memory: int = 0,
        delete_index: bool = True,
    ) -> bytes: ...
