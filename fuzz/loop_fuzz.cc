// Drives the whole program in-process: start-up and the command loop read a
// stream of arbitrary bytes, in a private working directory, until the
// program ends (a ProgramEnd, as main catches it) or the input runs out.
// An input "MAP\0INPUT" first writes MAP as tmap.txt, and "MAP\0SETTINGS\0INPUT"
// also writes SETTINGS as rczembrol.txt.
//
// Commands may name any file, so the target refuses to run as root: run it as
// an unprivileged user (fuzz/run.sh does), with -handle_xfsz=0: files are
// limited to 1 MiB, so a long track fails to write instead of filling the disk.
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/fatal.h"
#include "command/loop.h"

namespace {

std::string g_dir;

void Die(const char* what) {
  std::perror(what);
  std::exit(1);
}

// Empties the working directory but for the device configuration.
void Clean() {
  DIR* dir = opendir(".");
  if (dir == nullptr) Die("opendir");
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || name == "alsa.conf") continue;
    if (unlink(name.c_str()) != 0) rmdir(name.c_str());
  }
  closedir(dir);
}

void RemoveDirectory() {
  if (chdir(g_dir.c_str()) != 0) return;
  Clean();
  unlink("alsa.conf");
  if (chdir("/") == 0) rmdir(g_dir.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (geteuid() == 0) {
    std::fputs("loop_fuzz: commands may write any file: run me as an unprivileged user\n", stderr);
    std::exit(1);
  }
  char pattern[] = "/tmp/zembrol-loop-fuzz-XXXXXX";
  if (mkdtemp(pattern) == nullptr) Die("mkdtemp");
  g_dir = pattern;
  if (chdir(pattern) != 0) Die("chdir");
  std::atexit(RemoveDirectory);
  // `default` is a null PCM (not paced, so a play takes seconds at most);
  // other names do not open.
  std::FILE* conf = std::fopen("alsa.conf", "w");
  if (conf == nullptr) Die("alsa.conf");
  std::fputs("pcm.default { type null }\n", conf);
  std::fclose(conf);
  setenv("ALSA_CONFIG_PATH", (g_dir + "/alsa.conf").c_str(), 1);
  const rlimit files{1 << 20, 1 << 20};
  if (setrlimit(RLIMIT_FSIZE, &files) != 0) Die("setrlimit");
  signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
  return 0;
}

// Writes the bytes up to the next NUL (if there is one) to `name` and moves
// past them and the NUL.
void WriteUpToNul(const char* name, const uint8_t*& data, size_t& size) {
  const auto* nul = static_cast<const uint8_t*>(std::memchr(data, '\0', size));
  if (nul == nullptr) return;
  std::FILE* file = std::fopen(name, "wb");
  if (file == nullptr) Die(name);
  std::fwrite(data, 1, static_cast<size_t>(nul - data), file);
  std::fclose(file);
  size -= static_cast<size_t>(nul - data) + 1;
  data = nul + 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Clean();
  WriteUpToNul("tmap.txt", data, size);
  WriteUpToNul("rczembrol.txt", data, size);
  std::FILE* in = fmemopen(const_cast<uint8_t*>(data), size, "r");
  if (in == nullptr) return 0;
  try {
    zembrol::Session session;
    zembrol::Input input(in);
    zembrol::StartUp(session, input);
    zembrol::RunCommandLoop(session, input);
  } catch (const zembrol::ProgramEnd& end) {
    if (end.status < 0 || end.status > 2) std::abort();
  }
  std::fclose(in);
  return 0;
}
