// The refusal shared by upsert and query when text arrives for an index that
// was created without an embedding model.
#ifndef TAVRIN_BINDINGS_NO_MODEL_ERROR_H_
#define TAVRIN_BINDINGS_NO_MODEL_ERROR_H_

namespace tavrin::bindings {

inline constexpr const char kNoModelError[] =
    "Index was not set up for automatic embedding generation. Provide `vector` explicitly or "
    "create a new index with an embedding model.";

}  // namespace tavrin::bindings

#endif  // TAVRIN_BINDINGS_NO_MODEL_ERROR_H_
