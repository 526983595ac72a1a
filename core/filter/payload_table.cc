#include "core/filter/payload_table.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <new>
#include <utility>

namespace tarnvault_core::filter {
namespace {

using payload::JsonValue;
using payload::Payload;

std::size_t mix(std::size_t h, std::size_t v) {
  return h ^ (v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
}

// Values are pooled by identity, not by JSON equality: floats by their bits,
// so that a NaN (which equals nothing, itself included) still finds its own
// entry again. Identical values give every filter leaf the same answer, so
// evaluating a leaf on the pooled value is exact for every row holding it.
std::size_t identity_hash(const JsonValue& v) {
  std::size_t h = static_cast<std::size_t>(v.kind());
  switch (v.kind()) {
    case JsonValue::Kind::Null:
      return h;
    case JsonValue::Kind::Bool:
      return mix(h, v.as_bool() ? 1 : 0);
    case JsonValue::Kind::UInt:
      return mix(h, std::hash<std::uint64_t>{}(v.as_uint()));
    case JsonValue::Kind::NegInt:
      return mix(h, std::hash<std::int64_t>{}(v.as_neg_int()));
    case JsonValue::Kind::Float:
      return mix(h, std::hash<std::uint64_t>{}(std::bit_cast<std::uint64_t>(v.as_float())));
    case JsonValue::Kind::String:
      return mix(h, std::hash<std::string>{}(v.as_string()));
    case JsonValue::Kind::Array:
      for (const JsonValue& e : v.as_array()) h = mix(h, identity_hash(e));
      return h;
    case JsonValue::Kind::Object:
      for (const auto& [key, e] : v.as_object()) {
        h = mix(mix(h, std::hash<std::string>{}(key)), identity_hash(e));
      }
      return h;
  }
  return h;
}

bool identical(const JsonValue& a, const JsonValue& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case JsonValue::Kind::Null:
      return true;
    case JsonValue::Kind::Bool:
      return a.as_bool() == b.as_bool();
    case JsonValue::Kind::UInt:
      return a.as_uint() == b.as_uint();
    case JsonValue::Kind::NegInt:
      return a.as_neg_int() == b.as_neg_int();
    case JsonValue::Kind::Float:
      return std::bit_cast<std::uint64_t>(a.as_float()) ==
             std::bit_cast<std::uint64_t>(b.as_float());
    case JsonValue::Kind::String:
      return a.as_string() == b.as_string();
    case JsonValue::Kind::Array:
      return std::equal(a.as_array().begin(), a.as_array().end(), b.as_array().begin(),
                        b.as_array().end(), identical);
    case JsonValue::Kind::Object:
      return std::equal(a.as_object().begin(), a.as_object().end(), b.as_object().begin(),
                        b.as_object().end(), [](const auto& x, const auto& y) {
                          return x.first == y.first && identical(x.second, y.second);
                        });
  }
  return false;
}

// Room for `extra` more elements, growing geometrically: reserving exact
// sizes one element at a time would copy the vector on every call.
template <typename T>
void reserve_more(std::vector<T>& v, std::size_t extra) {
  if (v.capacity() - v.size() >= extra) return;
  v.reserve(std::max(v.size() + extra, 2 * v.capacity()));
}

}  // namespace

// One key: how many rows hold it, and the distinct values held under it,
// each with a code and the number of rows holding it. The values lie side by
// side in code order, so that a filter reads them front to back.
class PayloadTable::Column {
 public:
  explicit Column(std::string name) : name_(std::move(name)) {}

  const std::string& name() const { return name_; }
  std::size_t rows() const { return rows_; }
  std::size_t codes_in_use() const { return values_.size() - free_.size(); }
  // Codes are below code_limit(); value(code) is null for a free code.
  std::size_t code_limit() const { return values_.size(); }
  const JsonValue* value(std::uint32_t code) const {
    return refs_[code] != 0 ? &values_[code] : nullptr;
  }

  std::uint32_t acquire(const JsonValue& value) {
    const std::uint32_t tag = tag_of(value);
    std::size_t position = find(value, tag);
    std::uint32_t code;
    if (!table_.empty() && table_[position] != 0) {
      code = code_at(position);
    } else {
      // Room first, so that nothing fails once the value is taken in and
      // release never allocates.
      if (2 * (in_use_ + 1) > table_.size()) {
        grow();
        position = find(value, tag);
      }
      reserve_more(values_, 1);
      reserve_more(refs_, 1);
      reserve_more(free_, values_.size() + 1 - free_.size());
      const bool reuse = !free_.empty();
      code = reuse ? free_.back() : static_cast<std::uint32_t>(values_.size());
      if (reuse) {
        values_[code] = value;
        free_.pop_back();
      } else {
        values_.push_back(value);
        refs_.push_back(0);
      }
      table_[position] = std::uint64_t{tag} << 32 | code;
      ++in_use_;
    }
    ++refs_[code];
    ++rows_;
    return code;
  }

  void release(std::uint32_t code) {
    --rows_;
    if (--refs_[code] != 0) return;
    erase(find(values_[code], tag_of(values_[code])));
    values_[code] = JsonValue();
    free_.push_back(code);
  }

 private:
  // Open addressing with linear probing, at most half full, and backward
  // shift deletion (no tombstones): a word is the value's hash tag and its
  // code, 0 for an empty position. A tag is never 0 and gives the home
  // position, so growing needs no value hashed again.
  static std::uint32_t tag_of(const JsonValue& value) {
    const auto tag = static_cast<std::uint32_t>(
        (static_cast<std::uint64_t>(identity_hash(value)) * 0x9e3779b97f4a7c15ULL) >> 32);
    return tag != 0 ? tag : 1;
  }
  std::uint32_t code_at(std::size_t position) const {
    return static_cast<std::uint32_t>(table_[position]);
  }
  std::size_t home(std::uint64_t word) const { return (word >> 32) & (table_.size() - 1); }

  // The position holding `value`, or the empty position where it would go.
  std::size_t find(const JsonValue& value, std::uint32_t tag) const {
    if (table_.empty()) return 0;
    const std::size_t mask = table_.size() - 1;
    for (std::size_t p = tag & mask;; p = (p + 1) & mask) {
      const std::uint64_t word = table_[p];
      if (word == 0) return p;
      if (word >> 32 == tag && identical(values_[code_at(p)], value)) return p;
    }
  }

  void grow() {
    std::vector<std::uint64_t> old(std::max<std::size_t>(16, 2 * table_.size()), 0);
    old.swap(table_);
    const std::size_t mask = table_.size() - 1;
    for (const std::uint64_t word : old) {
      if (word == 0) continue;
      std::size_t p = home(word);
      while (table_[p] != 0) p = (p + 1) & mask;
      table_[p] = word;
    }
  }

  void erase(std::size_t hole) {
    const std::size_t mask = table_.size() - 1;
    for (std::size_t p = (hole + 1) & mask; table_[p] != 0; p = (p + 1) & mask) {
      // A word may move back into the hole unless its home lies cyclically
      // in (hole, p].
      const std::size_t h = home(table_[p]);
      const bool stays = hole <= p ? (hole < h && h <= p) : (hole < h || h <= p);
      if (stays) continue;
      table_[hole] = table_[p];
      hole = p;
    }
    table_[hole] = 0;
    --in_use_;
  }

  std::string name_;
  std::size_t rows_ = 0;
  std::vector<JsonValue> values_;     // by code; null for a free code
  std::vector<std::uint32_t> refs_;   // rows holding each code; 0 when free
  std::vector<std::uint32_t> free_;
  std::vector<std::uint64_t> table_;  // finds the code of a value
  std::size_t in_use_ = 0;
};

PayloadTable::PayloadTable() = default;
PayloadTable::~PayloadTable() = default;
PayloadTable::PayloadTable(PayloadTable&&) noexcept = default;
PayloadTable& PayloadTable::operator=(PayloadTable&&) noexcept = default;

void PayloadTable::reserve(std::size_t rows) { rows_.reserve(rows); }

void PayloadTable::push_back_empty() {
  reserve_more(rows_, 1);
  rows_.push_back(Row{cells_.size(), 0});
}

std::uint32_t PayloadTable::acquire_key(const std::string& name) {
  if (const auto found = key_codes_.find(name); found != key_codes_.end()) return found->second;
  reserve_more(columns_, 1);
  reserve_more(free_keys_, columns_.size() + 1 - free_keys_.size());
  auto column = std::make_unique<Column>(name);
  const std::uint32_t code =
      free_keys_.empty() ? static_cast<std::uint32_t>(columns_.size()) : free_keys_.back();
  key_codes_.emplace(name, code);
  if (free_keys_.empty()) {
    columns_.push_back(std::move(column));
  } else {
    free_keys_.pop_back();
    columns_[code] = std::move(column);
  }
  return code;
}

void PayloadTable::push_back(const Payload& payload) {
  reserve_more(rows_, 1);
  const Row row{cells_.size(), payload.data.size()};
  reserve_more(cells_, row.count);
  std::uint32_t key_code = kNoKey;
  try {
    for (const auto& [key, value] : payload.data) {
      key_code = acquire_key(key);
      const std::uint32_t value_code = columns_[key_code]->acquire(value);
      cells_.push_back(Cell{key_code, value_code});
    }
  } catch (...) {
    // Undo the cells taken so far, and a column created for the failed one.
    release_cells(Row{row.first, cells_.size() - row.first});
    cells_.resize(row.first);
    if (key_code != kNoKey && columns_[key_code] && columns_[key_code]->rows() == 0) {
      drop_column(key_code);
    }
    throw;
  }
  rows_.push_back(row);
}

std::size_t PayloadTable::distinct_values(const std::string& key) const {
  const auto found = key_codes_.find(key);
  return found == key_codes_.end() ? 0 : columns_[found->second]->codes_in_use();
}

// Keys no row holds any more are dropped, so that payloads with ever new
// keys do not grow the table.
void PayloadTable::drop_column(std::uint32_t key) {
  key_codes_.erase(columns_[key]->name());
  columns_[key].reset();
  free_keys_.push_back(key);
}

void PayloadTable::release_cells(const Row& row) {
  for (std::size_t i = row.first; i < row.first + row.count; ++i) {
    const Cell cell = cells_[i];
    Column& column = *columns_[cell.key];
    column.release(cell.value);
    if (column.rows() == 0) drop_column(cell.key);
  }
}

void PayloadTable::swap_remove(std::size_t row) {
  release_cells(rows_[row]);
  dead_cells_ += rows_[row].count;
  rows_[row] = rows_.back();
  rows_.pop_back();
  if (rows_.empty()) {
    cells_.clear();
    dead_cells_ = 0;
  } else if (dead_cells_ > 4096 && dead_cells_ > cells_.size() / 2) {
    compact_cells();
  }
}

// Rewrites the cells of the live rows in row order: dead cells go, and a
// scan reads the cells front to back again.
void PayloadTable::compact_cells() {
  std::vector<Cell> live;
  try {
    live.reserve(cells_.size() - dead_cells_);
  } catch (const std::bad_alloc&) {
    return;  // stays correct, only larger; tried again at the next removal
  }
  for (Row& row : rows_) {
    const std::size_t first = live.size();
    live.insert(live.end(), cells_.begin() + static_cast<std::ptrdiff_t>(row.first),
                cells_.begin() + static_cast<std::ptrdiff_t>(row.first + row.count));
    row.first = first;
  }
  cells_ = std::move(live);
  dead_cells_ = 0;
}

// A compiled condition. Leaves hold their answer for every value code of
// their field's column, and for a row without the field.
struct TableFilter::Node {
  enum class Op : std::uint8_t { Never, Leaf, And, Or, Not };
  Op op = Op::Never;
  std::size_t depth = 0;
  std::size_t left = 0;
  std::size_t right = 0;
  std::uint32_t key = PayloadTable::kNoKey;
  std::uint8_t absent = 0;
  std::vector<std::uint8_t> answers;
};

TableFilter::TableFilter(const Filter& filter, const PayloadTable& table) : table_(table) {
  compile(&filter.condition, 0);
}

TableFilter::~TableFilter() = default;

std::size_t TableFilter::compile(const FilterCondition* condition, std::size_t depth) {
  const std::size_t index = nodes_.size();
  nodes_.emplace_back();
  nodes_[index].depth = depth;
  // A child left empty by a move matches nothing, as in FilterCondition.
  if (condition == nullptr) return index;
  switch (condition->kind()) {
    case FilterCondition::Kind::And:
    case FilterCondition::Kind::Or: {
      const std::size_t left = compile(condition->left(), depth + 1);
      const std::size_t right = compile(condition->right(), depth + 1);
      Node& node = nodes_[index];
      node.op = condition->kind() == FilterCondition::Kind::And ? Node::Op::And : Node::Op::Or;
      node.left = left;
      node.right = right;
      if (scratch_.size() <= depth) scratch_.resize(depth + 1);
      return index;
    }
    case FilterCondition::Kind::Not: {
      const std::size_t inner = compile(condition->left(), depth + 1);
      nodes_[index].op = Node::Op::Not;
      nodes_[index].left = inner;
      return index;
    }
    default:
      break;
  }
  Node& node = nodes_[index];
  node.op = Node::Op::Leaf;
  node.absent = condition->matches_value(nullptr) ? 1 : 0;
  const auto found = table_.key_codes_.find(condition->field());
  if (found == table_.key_codes_.end()) return index;  // every row lacks the key
  node.key = found->second;
  const PayloadTable::Column& column = *table_.columns_[node.key];
  node.answers.resize(column.code_limit());
  for (std::uint32_t code = 0; code < column.code_limit(); ++code) {
    const JsonValue* value = column.value(code);
    node.answers[code] = value != nullptr && condition->matches_value(value) ? 1 : 0;
  }
  return index;
}

void TableFilter::matches(std::size_t first, std::size_t count, std::uint8_t* out) {
  evaluate(0, first, count, out);
}

void TableFilter::evaluate(std::size_t index, std::size_t first, std::size_t count,
                           std::uint8_t* out) {
  const Node& node = nodes_[index];
  // And/Or may skip their right side where the left one decides every row:
  // matching has no side effects, so only the answers count.
  const auto set = [](std::uint8_t b) { return b != 0; };
  const auto none = [&] { return std::none_of(out, out + count, set); };
  const auto all = [&] { return std::all_of(out, out + count, set); };
  switch (node.op) {
    case Node::Op::Never:
      std::memset(out, 0, count);
      return;
    case Node::Op::Not:
      evaluate(node.left, first, count, out);
      for (std::size_t i = 0; i < count; ++i) out[i] ^= 1;
      return;
    case Node::Op::And:
    case Node::Op::Or: {
      const bool is_and = node.op == Node::Op::And;
      evaluate(node.left, first, count, out);
      if (is_and ? none() : all()) return;
      std::vector<std::uint8_t>& other = scratch_[node.depth];
      if (other.size() < count) other.resize(count);
      evaluate(node.right, first, count, other.data());
      if (is_and) {
        for (std::size_t i = 0; i < count; ++i) out[i] &= other[i];
      } else {
        for (std::size_t i = 0; i < count; ++i) out[i] |= other[i];
      }
      return;
    }
    case Node::Op::Leaf:
      break;
  }
  if (node.key == PayloadTable::kNoKey) {
    std::memset(out, node.absent, count);
    return;
  }
  const PayloadTable::Row* rows = table_.rows_.data() + first;
  const PayloadTable::Cell* cells = table_.cells_.data();
  const std::uint8_t* answers = node.answers.data();
  const std::uint32_t key = node.key;
  // Payloads mostly share one set of keys, enumerated in one order, so the
  // key is looked for first where the previous row had it.
  std::size_t hint = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const PayloadTable::Cell* const begin = cells + rows[i].first;
    const std::size_t cell_count = rows[i].count;
    if (hint < cell_count && begin[hint].key == key) {
      out[i] = answers[begin[hint].value];
      continue;
    }
    std::uint8_t answer = node.absent;
    for (std::size_t c = 0; c < cell_count; ++c) {
      if (begin[c].key == key) {
        answer = answers[begin[c].value];
        hint = c;
        break;
      }
    }
    out[i] = answer;
  }
}

}  // namespace tarnvault_core::filter
