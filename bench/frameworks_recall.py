"""recall@10 of similarity search through the LangChain and LlamaIndex
stores, on the data of the Chroma recall row of the benchmark (100,000 x
128, the same 100 queries, exact L2 answers from common.py). Both need their
integration installed (scripts/integrations_test.sh makes such environments).
Run from the repository root: python bench/frameworks_recall.py"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import make_data, make_queries, exact_l2_top, recall_at_k
from langchain_core.embeddings import Embeddings
from langchain_varnel import VarnelVectorStore as LCStore
from llama_index.core.schema import TextNode
from llama_index.core.vector_stores.types import VectorStoreQuery
from llama_index.vector_stores.varnel import VarnelVectorStore as LIStore

X = make_data(100_000, 128); Q = make_queries(100, 128)
exact = exact_l2_top(X, Q)

class Rows(Embeddings):
    def embed_documents(self, texts): return X[[int(t) for t in texts]]
    def embed_query(self, text): raise AssertionError

t = time.time()
lc = LCStore(Rows(), metric="euclidean")
lc.add_texts([str(i) for i in range(len(X))], ids=[str(i) for i in range(len(X))])
found = [[int(d.id) for d in lc.similarity_search_by_vector(q.tolist(), k=10)] for q in Q]
print("langchain recall@10", recall_at_k(found, exact), time.time() - t)

t = time.time()
li = LIStore(metric="euclidean")
li.add([TextNode(text=str(i), id_=str(i), embedding=X[i].tolist()) for i in range(len(X))])
found = [[int(i) for i in li.query(VectorStoreQuery(query_embedding=q.tolist(), similarity_top_k=10)).ids] for q in Q]
print("llama_index recall@10", recall_at_k(found, exact), time.time() - t)
