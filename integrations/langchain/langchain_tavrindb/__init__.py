"""LangChain integration of tavrindb_lite: a vector store over an encrypted index."""
from langchain_tavrindb.vectorstores import TavrinDBVectorStore

__all__ = ["TavrinDBVectorStore"]
