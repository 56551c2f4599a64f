// What a read found that the index never wrote: a record that answers for
// another item or another index. Such a read fails as a whole (never a wrong
// answer) and changes nothing in the stores.
#ifndef TAVRIN_ENCRYPTED_INDEX_INTEGRITY_H_
#define TAVRIN_ENCRYPTED_INDEX_INTEGRITY_H_

#include <stdexcept>
#include <string>

namespace tavrin {

// A std::runtime_error (a ValueError in Python) whose message is
// "Integrity check failed: " followed by what was found.
class IntegrityError : public std::runtime_error {
 public:
  explicit IntegrityError(const std::string& found)
      : std::runtime_error("Integrity check failed: " + found) {}
};

// For an item record read for `id` that holds another item's id.
inline std::string foreign_record(const std::string& id) {
  return "the item record read for id " + id + " is another item's";
}

}  // namespace tavrin

#endif  // TAVRIN_ENCRYPTED_INDEX_INTEGRITY_H_
