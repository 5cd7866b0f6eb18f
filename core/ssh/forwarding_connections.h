// The live connections of one forwarding. A connection reports that it has finished from inside its
// own calls, so the list drops finished connections on a later loop turn, never under their feet.
#ifndef QUELBAR_CORE_SSH_FORWARDING_CONNECTIONS_H_
#define QUELBAR_CORE_SSH_FORWARDING_CONNECTIONS_H_

#include <algorithm>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "core/async_callback.h"

template <typename Connection>
class ForwardingConnections {
 public:
  // swept runs after each sweep.
  explicit ForwardingConnections(std::function<void()> swept)
      : swept_(std::move(swept)), sweep_async_([this] { Sweep(); }) {}

  // Listed before it starts, so that a connection ending at once is dropped like any other.
  Connection* Add(std::unique_ptr<Connection> connection) {
    connections_.push_back(std::move(connection));
    return connections_.back().get();
  }

  // A connection has finished: drop it on a later turn (and tell the owner then).
  void ScheduleSweep() { sweep_async_.Send(); }

  // Closes every connection; those that end at once are dropped on a later turn too.
  void CloseAll() {
    std::vector<Connection*> live;
    for (const auto& connection : connections_) {
      live.push_back(connection.get());
    }
    for (Connection* connection : live) {
      connection->Close();
    }
  }

  bool empty() const { return connections_.empty(); }

 private:
  void Sweep() {
    std::vector<std::unique_ptr<Connection>> finished;
    for (auto& connection : connections_) {
      if (connection->IsFinished()) {
        finished.push_back(std::move(connection));
      }
    }
    connections_.erase(std::remove(connections_.begin(), connections_.end(), nullptr),
                       connections_.end());
    finished.clear();
    swept_();
  }

  std::function<void()> swept_;
  std::vector<std::unique_ptr<Connection>> connections_;
  AsyncCallback sweep_async_;
};

#endif  // QUELBAR_CORE_SSH_FORWARDING_CONNECTIONS_H_
