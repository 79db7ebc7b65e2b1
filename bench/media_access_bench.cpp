// Media access over loopback http: 1 GiB as 64 files of 16 MiB fetched one after another with
// IMediaAccess::GetFile, against one run of the curl program fetching the same 64 URLs into
// files. Both talk to the same loopback server (tests/support/loopback_server.py under
// Debian's python3). Prints the ratio curl time / media access time (goal: at least 0.8).
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchRatio.h"
#include "MediaAccess/IMediaAccess.h"
#include "nPatchDownload/CPatchDebug.h"

extern char** environ;

namespace {

constexpr int kFiles = 64;
constexpr size_t kFileBytes = size_t{16} << 20;

std::string g_work;
std::string g_base;  // http://127.0.0.1:<port>

std::string Name(int i) { return "media/f" + std::to_string(i) + ".bin"; }

bool WriteWhole(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return ::close(fd) == 0 && ok;
}

std::string ReadWhole(const std::string& path) {
  std::string text;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[256];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof(buffer))) > 0) text.append(buffer, static_cast<size_t>(n));
  ::close(fd);
  return text;
}

bool Run(std::vector<std::string> args, pid_t* background = nullptr) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  if (background != nullptr) {
    *background = pid;
    return true;
  }
  int status = 0;
  return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_CurlProgram(benchmark::State& state) {
  std::vector<std::string> args = {"/usr/bin/curl", "-s", "--fail"};
  for (int i = 0; i < kFiles; ++i) {
    args.push_back("-o");
    args.push_back(g_work + "/curl-out/f" + std::to_string(i) + ".bin");
    args.push_back(g_base + "/" + Name(i));
  }
  for (auto _ : state)
    if (!Run(args)) state.SkipWithError("curl failed");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFiles * kFileBytes));
}

void BM_MediaAccessGetFile(benchmark::State& state) {
  nPatchDownload::CPatchDebug sink;
  nPatchDownload::CMediaConfiguration record;
  record.Reset(nPatchDownload::CMediaConfiguration::eHTTP, g_work, g_base, true, false);
  IMediaAccess* access = nullptr;
  if (CreateMediaAccess(record, record, sink, &access) != 0) {
    state.SkipWithError("no media access");
    return;
  }
  for (auto _ : state)
    for (int i = 0; i < kFiles; ++i)
      if (access->GetFile(Name(i), g_work + "/ma-out/f" + std::to_string(i) + ".bin", 1) != 0)
        state.SkipWithError("fetch failed");
  DestroyMediaAccess(access);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFiles * kFileBytes));
}

BENCHMARK(BM_CurlProgram)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_MediaAccessGetFile)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const char* tmp = std::getenv("TMPDIR");
  g_work = std::string(tmp && *tmp ? tmp : "/tmp") + "/kqbench.XXXXXX";
  if (::mkdtemp(&g_work[0]) == nullptr) return 1;
  const std::string config = g_work + "/config.ini";
  if (!WriteWhole(config, "[Logging]\nnDebugLevel=1\ndLogFolder=" + g_work + "/logs\n")) return 1;
  ::setenv("KQ_CONFIG", config.c_str(), 1);
  for (const char* folder : {"/root", "/root/media", "/curl-out", "/ma-out"})
    ::mkdir((g_work + folder).c_str(), 0755);
  std::mt19937_64 gen(20);
  std::string content(kFileBytes, '\0');
  for (int i = 0; i < kFiles; ++i) {
    for (size_t k = 0; k + 8 <= content.size(); k += 8) {
      const unsigned long long v = gen();
      content.replace(k, 8, reinterpret_cast<const char*>(&v), 8);
    }
    if (!WriteWhole(g_work + "/root/" + Name(i), content)) return 1;
  }
  pid_t server = 0;
  const std::string portFile = g_work + "/port";
  if (!Run({"/usr/bin/python3", KQ_LOOPBACK_SERVER_SCRIPT, "--protocol", "http", "--root",
            g_work + "/root", "--port-file", portFile, "--parent-pid", std::to_string(getpid()),
            "--timeout", "1800"},
           &server))
    return 1;
  for (int i = 0; i < 1500 && ReadWhole(portFile).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const std::string port = ReadWhole(portFile);
  if (port.empty()) return 1;
  g_base = "http://127.0.0.1:" + port.substr(0, port.find('\n'));
  std::printf("%d files of %zu bytes over %s\n", kFiles, kFileBytes, g_base.c_str());

  KqRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("media access against one curl run, 64 x 16 MiB over loopback http "
                      "(goal >= 0.8)",
                      "BM_CurlProgram", "BM_MediaAccessGetFile");
  benchmark::Shutdown();
  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);
  ::nftw(g_work.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  return 0;
}
