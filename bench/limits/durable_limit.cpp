// The limits a request cannot beat on this disk, measured in one thread:
//   commit   one durable one-row SQLite commit (WAL, synchronous=FULL), one after another:
//            the most time-card writes a second that one commit per write allows;
//   upload   a 100 KB file written, fsynced and renamed into place (and its folder
//            synced), then one durable one-row commit: what an upload must do at least.
// Prints one JSON object per limit: operations a second and CPU µs per operation.
//
//   bench_durable_limit FOLDER [SECONDS]
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "bench_durable_limit: %s failed\n", what);
    std::exit(1);
  }
}

sqlite3* OpenDatabase(const std::string& path) {
  sqlite3* db = nullptr;
  Check(sqlite3_open(path.c_str(), &db) == SQLITE_OK, "open");
  Check(sqlite3_exec(db,
                     "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
                     "CREATE TABLE IF NOT EXISTS rows (id INTEGER PRIMARY KEY, v TEXT)",
                     nullptr, nullptr, nullptr) == SQLITE_OK,
        "schema");
  return db;
}

struct Inserter {
  sqlite3* db;
  sqlite3_stmt* insert = nullptr;
  explicit Inserter(sqlite3* d) : db(d) {
    Check(sqlite3_prepare_v2(db, "INSERT INTO rows (v) VALUES ('one row of a time card')", -1,
                             &insert, nullptr) == SQLITE_OK,
          "prepare");
  }
  ~Inserter() { sqlite3_finalize(insert); }
  void CommitOneRow() {
    Check(sqlite3_step(insert) == SQLITE_DONE, "insert");
    sqlite3_reset(insert);
  }
};

void WriteFileDurably(const std::string& folder, const std::vector<char>& bytes, int n) {
  const std::string temporary = folder + "/upload.tmp";
  const std::string final = folder + "/picture-" + std::to_string(n % 64) + ".jpg";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  Check(fd >= 0, "open file");
  Check(write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()), "write");
  Check(fsync(fd) == 0, "fsync");
  close(fd);
  Check(rename(temporary.c_str(), final.c_str()) == 0, "rename");
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  Check(dir >= 0 && fsync(dir) == 0, "fsync folder");
  close(dir);
}

template <class Operation>
void Measure(const char* name, double seconds, Operation operation) {
  const auto start = std::chrono::steady_clock::now();
  const double cpu0 = CpuSeconds();
  long count = 0;
  double elapsed = 0;
  do {
    operation(count);
    ++count;
    elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  } while (elapsed < seconds);
  const double cpu = CpuSeconds() - cpu0;
  std::printf("{\"limit\":\"%s\",\"ops\":%ld,\"per_second\":%.0f,\"cpu_us\":%.1f,\"wall_us\":%.1f}\n",
              name, count, count / elapsed, cpu * 1e6 / count, elapsed * 1e6 / count);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_durable_limit FOLDER [SECONDS]\n");
    return 2;
  }
  const std::string folder = argv[1];
  const double seconds = argc > 2 ? std::atof(argv[2]) : 5.0;
  sqlite3* db = OpenDatabase(folder + "/limit.db");
  {
    Inserter inserter(db);
    Measure("commit", seconds, [&](long) { inserter.CommitOneRow(); });
    const std::vector<char> picture(100 * 1024, 'x');
    Measure("upload", seconds, [&](long n) {
      WriteFileDurably(folder, picture, static_cast<int>(n));
      inserter.CommitOneRow();
    });
  }
  sqlite3_close(db);
  return 0;
}
