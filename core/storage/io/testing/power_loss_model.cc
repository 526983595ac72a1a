#include "core/storage/io/testing/power_loss_model.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <system_error>

namespace tarnvault_core::storage::io {
namespace {

std::string read_whole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool write_whole(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

std::filesystem::path PowerLossModel::normal(const std::filesystem::path& path) {
  std::filesystem::path p = std::filesystem::absolute(path).lexically_normal();
  return p.has_filename() ? p : p.parent_path();
}

std::size_t PowerLossModel::track_existing(const std::filesystem::path& path, bool directory) {
  if (auto it = current_.find(path); it != current_.end()) return it->second;
  Node node{directory, directory ? std::string() : read_whole(path)};
  nodes_.push_back(std::move(node));
  const std::size_t id = nodes_.size() - 1;
  current_[path] = id;
  durable_[path] = id;
  return id;
}

void PowerLossModel::opened(int file, const std::filesystem::path& path, bool created,
                            bool directory) {
  const std::filesystem::path p = normal(path);
  std::size_t id;
  if (created) {
    nodes_.push_back(Node{directory, std::string()});
    id = nodes_.size() - 1;
    current_[p] = id;  // durable only once its directory is synced
  } else {
    id = track_existing(p, directory);
  }
  file_nodes_[file] = id;
  if (directory) file_directories_[file] = p;
}

void PowerLossModel::closed(int file) {
  file_nodes_.erase(file);
  file_directories_.erase(file);
}

void PowerLossModel::synced(int file) {
  if (auto dir = file_directories_.find(file); dir != file_directories_.end()) {
    // Every entry of this directory, as it is now, becomes the durable one.
    for (auto it = durable_.begin(); it != durable_.end();) {
      it = it->first.parent_path() == dir->second ? durable_.erase(it) : std::next(it);
    }
    for (const auto& [name, id] : current_) {
      if (name.parent_path() == dir->second) durable_[name] = id;
    }
    return;
  }
  auto node = file_nodes_.find(file);
  if (node == file_nodes_.end()) return;
  for (const auto& [name, id] : current_) {
    if (id == node->second) nodes_[id].durable = read_whole(name);
  }
}

void PowerLossModel::track(const std::filesystem::path& path) {
  const std::filesystem::path p = normal(path);
  std::error_code ignored;
  if (current_.count(p) == 0 && std::filesystem::exists(p, ignored)) {
    (void)track_existing(p, std::filesystem::is_directory(p, ignored));
  }
}

void PowerLossModel::renamed(const std::filesystem::path& from, const std::filesystem::path& to) {
  const std::filesystem::path f = normal(from);
  auto moved = current_.find(f);
  if (moved == current_.end()) return;  // untracked: track() was not called
  const std::size_t id = moved->second;
  current_.erase(moved);
  current_[normal(to)] = id;
}

void PowerLossModel::unlinked(const std::filesystem::path& path) {
  current_.erase(normal(path));
}

void PowerLossModel::made_directory(const std::filesystem::path& path) {
  nodes_.push_back(Node{true, std::string()});
  current_[normal(path)] = nodes_.size() - 1;
}

bool PowerLossModel::reachable_after_loss(const std::filesystem::path& path) const {
  for (std::filesystem::path dir = path.parent_path(); dir != dir.root_path();
       dir = dir.parent_path()) {
    const bool tracked = current_.count(dir) != 0 || durable_.count(dir) != 0;
    if (tracked && durable_.count(dir) == 0) return false;
  }
  return true;
}

std::string PowerLossModel::surviving_bytes(std::size_t id, PowerLoss mode) const {
  const std::string& durable = nodes_[id].durable;
  if (mode == PowerLoss::DropUnsynced) return durable;
  std::string current = durable;
  for (const auto& [name, node] : current_) {
    if (node == id) current = read_whole(name);
  }
  // Only growth past the synced length is modelled; a file rewritten in
  // place or cut shorter since its last sync comes back as it was synced.
  if (current.size() <= durable.size() || current.compare(0, durable.size(), durable) != 0) {
    return durable;
  }
  std::string result = durable;
  const std::size_t grown = current.size() - durable.size();
  const std::size_t kept = mode == PowerLoss::TornUnsynced ? grown / 2 : 0;
  result.append(current, durable.size(), kept);
  result.append(grown - kept, '\0');
  return result;
}

Status PowerLossModel::lose_power(PowerLoss mode) {
  // Decide every survivor's bytes before the tree is touched.
  std::vector<std::pair<std::filesystem::path, std::size_t>> survivors;
  std::map<std::size_t, std::string> bytes;
  for (const auto& [name, id] : durable_) {
    if (!reachable_after_loss(name)) continue;
    survivors.emplace_back(name, id);
    if (!nodes_[id].directory) bytes[id] = surviving_bytes(id, mode);
  }
  std::error_code failure;
  // Remove every tracked file and every tracked directory that does not
  // survive, deepest first; then rebuild the survivors, shallowest first.
  std::vector<std::filesystem::path> doomed;
  for (const auto& entry : current_) {
    // A plain pair rather than a structured binding: clang 14 cannot capture
    // bindings in a lambda.
    const bool kept_directory =
        nodes_[entry.second].directory &&
        std::any_of(survivors.begin(), survivors.end(), [&](const auto& s) {
          return s.first == entry.first && s.second == entry.second;
        });
    if (!kept_directory) doomed.push_back(entry.first);
  }
  std::sort(doomed.begin(), doomed.end(), [](const auto& a, const auto& b) {
    return a.native().size() > b.native().size();
  });
  for (const auto& name : doomed) {
    std::filesystem::remove_all(name, failure);
    if (failure) return Error::os_error(failure.value());
  }
  std::sort(survivors.begin(), survivors.end(), [](const auto& a, const auto& b) {
    return a.first.native().size() < b.first.native().size();
  });
  for (const auto& [name, id] : survivors) {
    if (nodes_[id].directory) {
      std::filesystem::create_directory(name, failure);
      if (failure) return Error::os_error(failure.value());
    } else if (!write_whole(name, bytes[id])) {
      return Error::os_error(EIO);
    }
  }
  nodes_.clear();
  current_.clear();
  durable_.clear();
  file_nodes_.clear();
  file_directories_.clear();
  return {};
}

}  // namespace tarnvault_core::storage::io
