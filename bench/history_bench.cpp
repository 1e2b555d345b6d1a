// What keeping the history costs, through a sotto-server in this process
// with its history in SQLite in its data directory, and raw clients (the
// senders' fair share lifted, as for the relay's own rows):
//
// - catch-up: a member away while 10,000 broadcasts of 64 bytes were
//   relayed signs in; from its connect to the last missed one received;
// - store size: the history's files (database and write-ahead log) per
//   1,000 such messages, after those 10,000;
// - store lag: one client pushes a burst of 64-byte broadcasts as fast as it
//   can (as the push row does); from the server having opened the last one
//   to the store holding it, read by a connection of the benchmark's own.
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "bench/areas.hpp"
#include "bench/table.hpp"
#include "server/history_store.hpp"
#include "tests/support/lifted_share.hpp"
#include "tests/support/server_harness.hpp"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kMissed = 10'000;
constexpr int kBurst = 200'000;
const testing_peer::Bytes kPayload(64, 'h');

bool waitUntil(const std::function<bool()>& done, std::chrono::seconds patience = 60s) {
  for (const auto until = Clock::now() + patience; Clock::now() < until; std::this_thread::sleep_for(1ms))
    if (done()) return true;
  return false;
}

// Messages in the store, read apart from the server; -1 when it cannot say.
// The last seq, not a count: the one origin numbers them from 0 and nothing
// is erased during a run, and a count of the whole table, asked every
// millisecond, would take a core from the writer it measures.
std::int64_t storedCount(const std::string& dataDir) {
  sqlite3* db = nullptr;
  std::int64_t count = -1;
  const std::string path = dataDir + "/" + sotto::kHistoryFileName;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* s = nullptr;
    const char* last =
        "SELECT coalesce((SELECT last_seq + 1 FROM history_batches ORDER BY origin DESC, first_seq DESC LIMIT 1), 0)";
    if (sqlite3_prepare_v2(db, last, -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW)
      count = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
  }
  sqlite3_close(db);
  return count;
}

// The database, its log and the files of rows beside it.
std::uintmax_t storeBytes(const std::string& dataDir) {
  std::uintmax_t bytes = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dataDir, ec))
    if (entry.path().filename().string().starts_with(sotto::kHistoryFileName) &&
        !entry.path().filename().string().ends_with("-shm") && entry.is_regular_file(ec))
      bytes += entry.file_size(ec);
  return bytes;
}

void catchUp(benchmark::State& state) {
  const auto a = fixed::make(1, 0), b = fixed::make(2, 0);
  harness::RunningServer server("127.0.109.1", lifted::share());
  server.seed(a);
  server.seed(b);
  server.join(b)->close();
  if (!server.log.waitFor("disconnected")) return state.SkipWithError("b did not leave");
  auto sa = server.join(a);
  for (int i = 0; i < kMissed; ++i) sa->sendPacket(2, a.signPublicKey, kPayload);
  if (!waitUntil([&] { return storedCount(server.dataDir()) >= kMissed; }))
    return state.SkipWithError("the store did not take them");
  Clock::duration took{};
  for (auto _ : state) {
    const auto start = Clock::now();
    auto again = server.join(b);
    // The opening line, the messages and the closing line.
    for (int i = 0; i < kMissed + 2; ++i)
      if (!again || !again->receiveFrame(30s)) return state.SkipWithError("the catch-up did not arrive");
    took = Clock::now() - start;
  }
  state.counters[kFigure] = std::chrono::duration<double, std::milli>(took).count();
  state.counters["size"] = static_cast<double>(storeBytes(server.dataDir())) / 1024.0 / (kMissed / 1000.0);
}

void storeLag(benchmark::State& state) {
  const auto a = fixed::make(1, 0);
  harness::RunningServer server("127.0.109.2", lifted::share());
  server.seed(a);
  auto sa = server.join(a);
  Clock::duration lag{};
  for (auto _ : state) {
    const std::int64_t before = storedCount(server.dataDir());
    const std::uint64_t opened = server.packetsReceived();
    std::thread push([&] {
      for (int i = 0; i < kBurst; ++i) sa->sendPacket(2, a.signPublicKey, kPayload);
    });
    const bool all = waitUntil([&] { return server.packetsReceived() - opened >= kBurst; });
    const auto last = Clock::now();
    push.join();
    if (!all) return state.SkipWithError("the server did not open the burst");
    if (!waitUntil([&] { return storedCount(server.dataDir()) - before >= kBurst; }))
      return state.SkipWithError("the store did not take the burst");
    lag = Clock::now() - last;
  }
  state.counters[kFigure] = std::chrono::duration<double, std::milli>(lag).count();
}

}  // namespace

void registerHistory() {
  add({"history/catch-up", "catch-up of 10k missed 64-byte messages: sign-in to the last one received", "ms",
       Better::lower, ""},
      catchUp)
      ->Iterations(1);
  addRow({"history/catch-up", "history store (SQLite) per 1,000 such messages", "KiB", Better::lower, "", "size"});
  add({"history/store-lag", "200k pushed broadcasts: last one opened by the server to last one stored", "ms",
       Better::lower, ""},
      storeLag)
      ->Iterations(1);
}

}  // namespace bench
