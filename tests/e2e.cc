#include "e2e.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

namespace zembrol::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zembrol-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string CommandOutput(const std::string& command) {
  std::string out;
  std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return "popen failed";
  char chunk[256];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
  pclose(pipe);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

void WriteFile(const std::filesystem::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

namespace {

// `command` followed by the file's name in single quotes.
std::string OnFile(std::string command, const std::filesystem::path& file) {
  command += " '";
  command += file.string();
  command += '\'';
  return command;
}

}  // namespace

std::string GiveAttributes(const std::filesystem::path& file) {
  for (const std::string& command :
       {OnFile("setfattr -n user.zembrol -v kept", file), OnFile("setfacl -m u:65534:---", file)}) {
    if (const std::string out = CommandOutput(command); !out.empty()) return command + ": " + out;
  }
  CommandOutput(OnFile("chattr +d", file));  // where the file system has the flag
  return "";
}

std::string Attributes(const std::filesystem::path& file) {
  std::string commands = OnFile("getfattr -d -m - --absolute-names", file);
  commands += "; ";
  commands += OnFile("getfacl --absolute-names", file);
  commands += "; ";
  commands += OnFile("lsattr -d", file);
  std::string shown = CommandOutput(commands);
  for (size_t at; (at = shown.find(file.string())) != std::string::npos;)
    shown.replace(at, file.string().size(), "FILE");
  return shown;
}

void WriteLeftover(const std::filesystem::path& target, size_t bytes) {
  const std::string side = target.string() + ".zembrol-new";
  WriteFile(side, std::string(bytes, 'J'));
  if (chmod(side.c_str(), 0600) != 0) throw std::runtime_error("chmod failed");
}

namespace {

#if defined(__x86_64__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__i386__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_I386;
#elif defined(__aarch64__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#elif defined(__arm__) && !defined(__ARMEB__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_ARM;
#else
constexpr uint32_t kAuditArch = 0;  // no filter
#endif

// Fails each call of `failing` with its errno and lets all else through.
std::vector<sock_filter> Filter(const std::map<long, int>& failing) {
  std::vector<sock_filter> f = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
                                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
                                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
                                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
  for (const auto& [call, error] : failing) {
    f.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(call), 0, 1));
    f.push_back(BPF_STMT(BPF_RET | BPF_K,
                         SECCOMP_RET_ERRNO | (static_cast<uint32_t>(error) & SECCOMP_RET_DATA)));
  }
  f.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  return f;
}

// Installs `filter` in this process; false, with errno, where it can't.
bool Install(std::vector<sock_filter>& filter) {
  const sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
  if (kAuditArch == 0) errno = ENOSYS;
  return kAuditArch != 0 && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

}  // namespace

std::string NoSystemCallFilter() {
  static const std::string why = [] {
    std::vector<sock_filter> filter = Filter({{__NR_dup, EXDEV}});
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
      if (!Install(filter)) _exit(errno);
      _exit(syscall(__NR_dup, 0) < 0 && errno == EXDEV ? 0 : 255);
    }
    int wstatus = 0;
    if (child < 0 || waitpid(child, &wstatus, 0) != child || !WIFEXITED(wstatus))
      return std::string("no child to try a seccomp filter in");
    const int code = WEXITSTATUS(wstatus);
    return code == 0     ? std::string()
           : code == 255 ? std::string("a seccomp filter is installed here but fails no call")
                         : "no seccomp filter can be installed here (qemu-user?): " +
                               std::string(std::strerror(code));
  }();
  return why;
}

std::string Lacking(std::initializer_list<int> capabilities, const std::string& purpose) {
  // The effective set, in hex, as the kernel shows it.
  std::ifstream status("/proc/self/status");
  uint64_t effective = 0;
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("CapEff:")) effective = std::stoull(line.substr(7), nullptr, 16);
  static const std::map<int, std::string> kNames = {{CAP_CHOWN, "CAP_CHOWN"},
                                                    {CAP_SETGID, "CAP_SETGID"},
                                                    {CAP_SETUID, "CAP_SETUID"},
                                                    {CAP_SYS_NICE, "CAP_SYS_NICE"},
                                                    {CAP_SYS_RESOURCE, "CAP_SYS_RESOURCE"}};
  std::string missing;
  for (const int capability : capabilities)
    if ((effective >> capability & 1) == 0)
      missing += (missing.empty() ? "" : ", ") + kNames.at(capability);
  return missing.empty() ? missing : purpose + " needs " + missing + ", which this process lacks";
}

std::map<long, int> SetxattrFailing(int error) {
  std::map<long, int> calls = {
      {__NR_setxattr, error}, {__NR_lsetxattr, error}, {__NR_fsetxattr, error}};
#ifdef __NR_setxattrat
  calls[__NR_setxattrat] = error;
#endif
  return calls;
}

Running::Running(const std::filesystem::path& dir, const std::string& input,
                 const RunOptions& options) {
  WriteFile(io_ / "stdin", input);
  // Under a file size limit standard output goes through a pipe, which the
  // limit does not cover.
  int piped[2] = {-1, -1};
  std::vector<sock_filter> filter = Filter(options.failing);
  if (options.fileSizeLimit != RLIM_INFINITY && pipe(piped) != 0)
    throw std::runtime_error("pipe failed");
  input_ = open((io_ / "stdin").c_str(), O_RDONLY | O_CLOEXEC);
  if (input_ < 0) throw std::runtime_error("no standard input");
  std::vector<const char*> argv = {options.binary};
  for (const std::string& argument : options.arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);
  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ != 0) {
    close(piped[1]);  // EBADF when there is no pipe
    outPipe_ = piped[0];
    return;
  }
  const int out =
      piped[1] >= 0 ? piped[1] : open((io_ / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = open((io_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0 || err < 0 || dup2(input_, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
      chdir(dir.c_str()) != 0)
    _exit(127);
  if (const std::optional<uid_t> id = options.user;
      id && (setgroups(0, nullptr) != 0 || setresgid(*id, *id, *id) != 0 ||
             setresuid(*id, *id, *id) != 0))
    _exit(127);
  for (const auto& [name, value] : options.env) {
    if (value.empty()) {
      unsetenv(name.c_str());
    } else {
      setenv(name.c_str(), value.c_str(), 1);
    }
  }
  std::signal(SIGXFSZ, options.ignoreFileSizeSignal ? SIG_IGN : SIG_DFL);
  if (options.fileSizeLimit != RLIM_INFINITY) {
    const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
  }
  if (!options.failing.empty() && !Install(filter)) _exit(127);
  execv(options.binary, const_cast<char* const*>(argv.data()));
  _exit(127);
}

Running::~Running() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    Wait();
  }
  close(input_);
}

bool Running::Ended() const {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
         info.si_pid != 0;
}

std::string Running::Output() const { return ReadFile(io_ / "stdout"); }

RunResult Running::Wait() {
  RunResult result;
  for (char chunk[4096]; outPipe_ >= 0;) {
    const ssize_t n = read(outPipe_, chunk, sizeof chunk);
    if (n > 0) result.out.append(chunk, static_cast<size_t>(n));
    if (n == 0 || (n < 0 && errno != EINTR)) close(std::exchange(outPipe_, -1));
  }
  int wstatus = 0;
  while (waitpid(pid_, &wstatus, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  if (result.out.empty()) result.out = ReadFile(io_ / "stdout");
  result.err = ReadFile(io_ / "stderr");
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  result.inputRead = lseek(input_, 0, SEEK_CUR);
  return result;
}

RunResult RunZembrol(const std::filesystem::path& dir, const std::string& input,
                     const RunOptions& options) {
  return Running(dir, input, options).Wait();
}

RunResult RunZembrol(const std::filesystem::path& dir, const std::string& input,
                     const std::map<std::string, std::string>& env, const char* binary) {
  RunOptions options;
  options.env = env;
  options.binary = binary;
  return RunZembrol(dir, input, options);
}

namespace {

std::string Format(const char* format, auto... args) {
  std::string out(static_cast<size_t>(std::snprintf(nullptr, 0, format, args...)), '\0');
  std::snprintf(out.data(), out.size() + 1, format, args...);
  return out;
}

double D(float value) { return static_cast<double>(value); }

const char kRuler[] = "-------------------------\n";

// The three lines between the rulers.
std::string Summary(const Shown& v) {
  return Format("rate: %i\tbits: %i\tdevice: %s\n", static_cast<int>(v.rate), v.bits,
                v.device.c_str()) +
         Format("meter: %i\tmeas: %i\tatime: %.1f\n", v.meter, v.meas, D(v.atime)) +
         Format("Hz: %.2f\tsave: %s\ttmap: %s\n", D(v.Hz), v.save.c_str(), v.map.c_str());
}

}  // namespace

void PrintTo(const Shown& s, std::ostream* os) {
  *os << s.rate << " Hz " << s.bits << " bits " << s.tempo << " bpm meter " << s.meter << " meas "
      << s.meas << " save " << s.save;
}

std::string Menu(const Shown& v) {
  std::string m = "\nGlobal settings:\n";
  m += Format("\tEnter 't' to adjust tempo (%.1f bpm).\n", D(v.tempo));
  m += Format("\tEnter 'f' to set the lowest click frequency (%.1f Hz).\n", D(v.Hz));
  m += Format("\tEnter 'b' to set beats per measure (%i)\n", v.meter);
  m += "\tEnter 'h' for tempo map file help\n"
       "\tEnter 's' to save current settings to 'rczembrol.txt'\n"
       "\tEnter 'x' to exit.\n"
       "\n"
       "Audition settings:\n"
       "\tEnter 'a' to audition click.\n";
  m += Format("\tEnter 'al' to set the audition length (%.1f sec).\n", D(v.atime));
  m += Format("\tEnter 'o' to change output device from '%s'.\n", v.device.c_str());
  m += "\tEnter 'ptm' to play tempo map file.\n"
       "\n"
       "Output file settings:\n";
  m += Format("\tEnter 'm' to set number of measures to write (%i).\n", v.meas);
  m += Format("\tEnter 'n' to change the output file name from '%s'.\n", v.save.c_str());
  m += Format("\tEnter 'w' to write from beginning of '%s'.\n", v.save.c_str());
  m += Format("\tEnter '+' to add new click to end of '%s'.\n", v.save.c_str());
  m += "\tEnter 'rtm' to read tempo map file and write click track file.\n";
  return m;
}

std::string Banner() {
  return "\nZembrol v. " ZEMBROL_VERSION " (m) by Pellorin\n\nChecking for rczembrol.txt file...\n";
}

std::string StartUpAsked() {
  return Banner() +
         "\nEnter sample rate or\n"
         "0 = exit, 1 = 44100,  2 = 48000,  3 = 88200,  4 = 96000\n"
         "\nChoose Bit Depth (1 = 16 bits, 2 = 24 bits)\n"
         "ready\n";
}

std::string StartUpLoaded(const Shown& shown, const std::string& notice) {
  return Banner() + "Settings Loaded\n" + notice + kRuler + Summary(shown) + kRuler + "ready\n";
}

std::string SettingsFile(const Shown& v) {
  return Format("rate\t%i\ndevice\t%s\nbits\t%i\n", static_cast<int>(v.rate), v.device.c_str(),
                v.bits) +
         Format("tempo\t%.2f\nHz\t%.2f\natime\t%.1f\n", D(v.tempo), D(v.Hz), D(v.atime)) +
         Format("meter\t%i\nmeas\t%i\nsave\t%s\nmap\t%s\n", v.meter, v.meas, v.save.c_str(),
                v.map.c_str());
}

}  // namespace zembrol::test
