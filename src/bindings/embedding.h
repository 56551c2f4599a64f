// Bridge to the sentence-embedding package that turns text into vectors for
// indexes created with a model name. Every call goes through the interpreter:
// the package `sentence_transformers`, its class `SentenceTransformer(name)`,
// and on a model `get_sentence_embedding_dimension()`, `encode(texts,
// convert_to_numpy=True)` (a 2-D array, one row per text) and `encode(text)`
// (a sequence of floats).
//
// Loading a model takes seconds, so a loaded model is kept for the life of
// the interpreter, keyed by the SentenceTransformer object the package offers
// at the time of the call and the name: the package is still imported on
// every call, so a missing or replaced package is noticed, and a model is
// only reused where a fresh load would have given an equal one.
//
// All functions need the interpreter lock (load_embedding_model takes it
// itself).
#ifndef TAVRIN_BINDINGS_EMBEDDING_H_
#define TAVRIN_BINDINGS_EMBEDDING_H_

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tavrin::bindings {

// Name of the module attribute that holds the loaded models.
inline constexpr const char kModelCacheAttr[] = "_embedding_models";

// The model for name. A Python error while importing the package, fetching
// the class or constructing the model writes "Python Exception: " + its text
// on standard error and throws std::runtime_error("Failed to load embedding
// model: " + its text).
pybind11::object load_embedding_model(const std::string& name);

// The model's vector length. None throws std::runtime_error("Unable to
// determine embedding dimension for model: " + name); a value that is not an
// int throws pybind11::cast_error; a negative one std::runtime_error. Python
// errors of the call itself propagate unchanged.
uint64_t embedding_dimension(pybind11::handle model, const std::string& name);

// One row per text, in order, from one encode call. Throws
// std::runtime_error: "Expected 2D array from batch encoding, got <n>D",
// "Mismatch between number of embeddings returned and texts provided.", or
// "Failed to process batch embeddings: " + the text of any other failure.
std::vector<std::vector<float>> embed_texts(pybind11::handle model, const pybind11::list& texts);

// The vector of one query text. Any failure throws std::runtime_error("Failed
// to encode query_contents: " + its text).
std::vector<float> embed_query(pybind11::handle model, pybind11::handle text);

}  // namespace tavrin::bindings

#endif  // TAVRIN_BINDINGS_EMBEDDING_H_
