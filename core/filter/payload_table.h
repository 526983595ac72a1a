// PayloadTable: the payloads of a sequence of rows, encoded so that a filter
// is tested on thousands of rows at once instead of looking each field up in
// each row's hash map.
//
// Every top-level key gets a small integer code, and every distinct value
// held under a key gets a code in that key's dictionary. A row is then a
// short run of (key code, value code) cells. A filter leaf depends only on
// the value found under its field (or on its absence), so TableFilter works
// it out once per distinct value, and the test of a row is a search of its
// few cells for the key followed by one table lookup. Memory grows with the
// number of cells, never with rows x keys, whatever keys the payloads use.
//
// The table does not keep the payloads themselves: its owner does, row by
// row, and keeps the two in step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/filter/filter.h"
#include "core/payload/json_value.h"
#include "core/payload/payload.h"

namespace tarnvault_core::filter {

class PayloadTable {
 public:
  PayloadTable();
  ~PayloadTable();
  PayloadTable(PayloadTable&&) noexcept;
  PayloadTable& operator=(PayloadTable&&) noexcept;

  std::size_t size() const { return rows_.size(); }
  std::size_t capacity() const { return rows_.capacity(); }

  // Appends a row holding `payload`. On an exception the table is unchanged.
  void push_back(const payload::Payload& payload);
  // Appends a row with the empty payload; cannot fail while size() is below
  // the capacity asked for with reserve.
  void push_back_empty();
  void reserve(std::size_t rows);
  // Removes `row` and moves the last row into its place, as a dense index
  // moves its last slot into a hole.
  void swap_remove(std::size_t row);
  // The distinct values the rows hold under `key`, each pooled once
  // however many rows hold it; 0 for a key no row holds.
  std::size_t distinct_values(const std::string& key) const;

 private:
  friend class TableFilter;

  struct Cell {
    std::uint32_t key;
    std::uint32_t value;
  };
  struct Row {
    std::size_t first = 0;  // cells_[first, first + count)
    std::size_t count = 0;
  };
  class Column;

  static constexpr std::uint32_t kNoKey = UINT32_MAX;

  std::uint32_t acquire_key(const std::string& name);
  void release_cells(const Row& row);
  void drop_column(std::uint32_t key);
  void compact_cells();

  std::unordered_map<std::string, std::uint32_t> key_codes_;
  std::vector<std::unique_ptr<Column>> columns_;  // by key code; null when free
  std::vector<std::uint32_t> free_keys_;
  std::vector<Row> rows_;
  std::vector<Cell> cells_;
  std::size_t dead_cells_ = 0;  // cells of removed rows not yet compacted away
};

// A filter prepared for one table: what each leaf gives for every distinct
// value is worked out in the constructor. The table must not change while
// the object lives; several may read one table at once.
class TableFilter {
 public:
  TableFilter(const Filter& filter, const PayloadTable& table);
  ~TableFilter();

  // out[i] = 1 if the filter matches row first + i, else 0, for i < count;
  // exactly Filter::matches on the row's payload.
  void matches(std::size_t first, std::size_t count, std::uint8_t* out);

 private:
  struct Node;

  std::size_t compile(const FilterCondition* condition, std::size_t depth);
  void evaluate(std::size_t node, std::size_t first, std::size_t count, std::uint8_t* out);

  const PayloadTable& table_;
  std::vector<Node> nodes_;
  std::vector<std::vector<std::uint8_t>> scratch_;  // one buffer per combinator depth
};

}  // namespace tarnvault_core::filter
