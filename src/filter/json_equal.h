// Value equality of JSON documents as the filter language sees it.
//
// Numbers of different kinds (signed, unsigned, floating point) compare by
// value; arrays and objects compare element by element; a NaN equals nothing.
// Unlike the JSON library's own operator==, a negative signed integer never
// equals a large unsigned one (the library casts the unsigned value to signed,
// so 18446744073709551615 would equal -1).
//
// JsonNotEqual mirrors the library's operator!=: a NaN and a number are
// neither equal nor unequal at the top level; elsewhere it is !JsonEqual.
#ifndef TAVRIN_FILTER_JSON_EQUAL_H_
#define TAVRIN_FILTER_JSON_EQUAL_H_

#include <nlohmann/json.hpp>

namespace tavrin {

bool JsonEqual(const nlohmann::json& a, const nlohmann::json& b);
bool JsonNotEqual(const nlohmann::json& a, const nlohmann::json& b);

}  // namespace tavrin

#endif  // TAVRIN_FILTER_JSON_EQUAL_H_
