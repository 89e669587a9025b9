#pragma once
// Values carried by server messages: numbers, strings, lists and "other"
// (true, false, null and JSON objects). Plain data, no thread affinity.
#include <cstddef>
#include <string>
#include <vector>

class VValue;

/// Kind of a VValue.
enum class VValueKind
{
  Number,  ///< a JSON number, held as a double
  String,  ///< a JSON string
  List,    ///< a JSON array
  Other    ///< true, false, null or an object
};

/// An ordered list of values (a JSON array).
class VList
{
public:
  /// The elements, in order.
  std::vector<VValue> elements;

  /// Number of elements.
  std::size_t size() const { return elements.size(); }
  /// Element i; i must be below size().
  const VValue& operator[](std::size_t i) const { return elements[i]; }
};

/// One value of a server message.
class VValue
{
public:
  /// Which of the members below holds the value.
  VValueKind kind = VValueKind::Other;
  /// The number, when kind is Number.
  double number = 0;
  /// The text, when kind is String.
  std::string string;
  /// The elements, when kind is List.
  VList list;

  /// True when the value is a number.
  bool isNumber() const { return kind == VValueKind::Number; }
  /// True when the value is a string.
  bool isString() const { return kind == VValueKind::String; }
  /// True when the value is a list.
  bool isList() const { return kind == VValueKind::List; }
};
