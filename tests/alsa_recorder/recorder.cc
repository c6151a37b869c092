// A recorder between the program and libasound, linked into a test-only copy
// of the program with -Wl,--wrap=<call> for each snd_pcm_* call it uses: every
// call is forwarded to the real library and written as one line to the file
// named by ALSA_RECORDER_LOG, with its arguments and result.
//
// ALSA_RECORDER_FAULTS makes chosen calls fail instead of reaching the
// library: a comma-separated list of <call>=<code> (every call of that name)
// or <call>@<n>=<code> (its n-th call, counting from 1). A negative code is
// returned as the call's result; for snd_pcm_writei a code of 0 or more is a
// short write: only that many frames of the period are forwarded.
//
// ALSA_RECORDER_PERIOD=<frames> asks the device for that period instead of
// the one the program requests, so the device grants another period.
//
// ALSA_RECORDER_SCHED names a file that gets "<call> policy <sched_getscheduler>
// priority <n> nice <n> rttime <soft RLIMIT_RTTIME> locked <VmLck kB>" at each
// snd_pcm_open and snd_pcm_writei, and as the program ends ("exit"), for the
// calling thread.
#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

struct Fault {
  std::string call;
  long occurrence = 0;  // 0: every call
  long code = 0;
};

class Recorder {
 public:
  static Recorder& Get() {
    static Recorder recorder;
    return recorder;
  }

  // Counts a call of `call`; returns the code it is to give instead, if any.
  std::optional<long> Count(const char* call) {
    std::lock_guard lock(mutex_);
    const long n = ++counts_[call];
    for (const Fault& fault : faults_)
      if (fault.call == call && (fault.occurrence == 0 || fault.occurrence == n)) return fault.code;
    return std::nullopt;
  }

  void Log(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::lock_guard lock(mutex_);
    if (log_ == nullptr) return;
    std::fprintf(log_, "%s\n", line);
    std::fflush(log_);  // the program may end at any call
  }

  // Names a handle "pcm<n>" by the opening that returned it.
  std::string OpenedPcm(const snd_pcm_t* pcm) {
    std::lock_guard lock(mutex_);
    return names_[pcm] = "pcm" + std::to_string(++opened_);
  }

  // Names a parameter container "hw<n>" by the snd_pcm_hw_params_any that filled it.
  std::string FilledParams(const snd_pcm_hw_params_t* params) {
    std::lock_guard lock(mutex_);
    return names_[params] = "hw" + std::to_string(++filled_);
  }

  std::string Name(const void* p) {
    std::lock_guard lock(mutex_);
    const auto found = names_.find(p);
    if (found != names_.end()) return found->second;
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
  }

  void Scheduling(const std::string& call) {
    if (sched_ == nullptr) return;
    sched_param param{};
    sched_getparam(0, &param);
    rlimit rtTime{};
    getrlimit(RLIMIT_RTTIME, &rtTime);
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line) && !line.starts_with("VmLck:")) {
    }
    std::lock_guard lock(mutex_);
    std::fprintf(sched_, "%s policy %d priority %d nice %d rttime %llu locked %ld\n", call.c_str(),
                 sched_getscheduler(0), param.sched_priority, getpriority(PRIO_PROCESS, 0),
                 static_cast<unsigned long long>(rtTime.rlim_cur),
                 std::strtol(line.c_str() + std::min<size_t>(6, line.size()), nullptr, 10));
    std::fflush(sched_);
  }

  std::optional<snd_pcm_uframes_t> period() const { return period_; }

 private:
  Recorder() {
    if (const char* path = std::getenv("ALSA_RECORDER_LOG")) log_ = std::fopen(path, "a");
    if (const char* path = std::getenv("ALSA_RECORDER_SCHED")) sched_ = std::fopen(path, "a");
    if (const char* period = std::getenv("ALSA_RECORDER_PERIOD"))
      period_ = std::strtoul(period, nullptr, 10);
    if (const char* faults = std::getenv("ALSA_RECORDER_FAULTS")) ParseFaults(faults);
  }
  ~Recorder() {
    Scheduling("exit");
    if (log_ != nullptr) std::fclose(log_);
    if (sched_ != nullptr) std::fclose(sched_);
  }

  void ParseFaults(const std::string& text) {
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find(',', start);
      if (end == std::string::npos) end = text.size();
      const std::string item = text.substr(start, end - start);
      start = end + 1;
      const size_t equals = item.find('=');
      if (equals == std::string::npos) continue;
      Fault fault;
      fault.call = item.substr(0, equals);
      fault.code = std::strtol(item.c_str() + equals + 1, nullptr, 10);
      const size_t at = fault.call.find('@');
      if (at != std::string::npos) {
        fault.occurrence = std::strtol(fault.call.c_str() + at + 1, nullptr, 10);
        fault.call.resize(at);
      }
      faults_.push_back(fault);
    }
  }

  std::mutex mutex_;
  std::FILE* log_ = nullptr;
  std::FILE* sched_ = nullptr;
  std::vector<Fault> faults_;
  std::map<std::string, long> counts_;
  std::map<const void*, std::string> names_;
  int opened_ = 0;
  int filled_ = 0;
  std::optional<snd_pcm_uframes_t> period_;
};

std::string Text(const char* s) {
  if (s == nullptr) return "NULL";
  std::string text = "\"";
  text += s;
  text += '"';
  return text;
}

// "NULL", or "&<value>" for a direction the library may set.
std::string Dir(const int* dir) {
  if (dir == nullptr) return "NULL";
  std::string text = "&";
  text += std::to_string(*dir);
  return text;
}

// A call that takes only the handle: counted, forwarded to `real` unless a
// fault stands in for it, and logged.
int ForwardPcm(const char* call, int (*real)(snd_pcm_t*), snd_pcm_t* pcm) {
  Recorder& r = Recorder::Get();
  const std::optional<long> fault = r.Count(call);
  const int result = fault ? static_cast<int>(*fault) : real(pcm);
  r.Log("%s(%s) = %d", call, r.Name(pcm).c_str(), result);
  return result;
}

}  // namespace

extern "C" {

int __real_snd_pcm_open(snd_pcm_t** pcm, const char* name, snd_pcm_stream_t stream, int mode);
size_t __real_snd_pcm_hw_params_sizeof();
int __real_snd_pcm_hw_params_any(snd_pcm_t* pcm, snd_pcm_hw_params_t* params);
int __real_snd_pcm_hw_params_set_access(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                        snd_pcm_access_t access);
int __real_snd_pcm_hw_params_set_format(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                        snd_pcm_format_t format);
int __real_snd_pcm_hw_params_set_channels(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                          unsigned int channels);
int __real_snd_pcm_hw_params_set_rate_near(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                           unsigned int* rate, int* dir);
int __real_snd_pcm_hw_params_set_period_size_near(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                                  snd_pcm_uframes_t* frames, int* dir);
int __real_snd_pcm_hw_params_set_buffer_size_near(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                                  snd_pcm_uframes_t* frames);
int __real_snd_pcm_hw_params(snd_pcm_t* pcm, snd_pcm_hw_params_t* params);
int __real_snd_pcm_hw_params_get_buffer_size(const snd_pcm_hw_params_t* params,
                                             snd_pcm_uframes_t* frames);
int __real_snd_pcm_hw_params_get_period_time(const snd_pcm_hw_params_t* params, unsigned int* time,
                                             int* dir);
int __real_snd_pcm_hw_params_get_period_size(const snd_pcm_hw_params_t* params,
                                             snd_pcm_uframes_t* frames, int* dir);
int __real_snd_pcm_prepare(snd_pcm_t* pcm);
snd_pcm_sframes_t __real_snd_pcm_writei(snd_pcm_t* pcm, const void* buffer,
                                        snd_pcm_uframes_t frames);
int __real_snd_pcm_drain(snd_pcm_t* pcm);
int __real_snd_pcm_drop(snd_pcm_t* pcm);
int __real_snd_pcm_close(snd_pcm_t* pcm);

int __wrap_snd_pcm_open(snd_pcm_t** pcm, const char* name, snd_pcm_stream_t stream, int mode) {
  Recorder& r = Recorder::Get();
  const std::optional<long> fault = r.Count("snd_pcm_open");
  r.Scheduling("snd_pcm_open");
  const int result =
      fault ? static_cast<int>(*fault) : __real_snd_pcm_open(pcm, name, stream, mode);
  const std::string handle = result < 0 ? "?" : r.OpenedPcm(*pcm);
  r.Log("snd_pcm_open(&%s, %s, %s, %d) = %d", handle.c_str(), Text(name).c_str(),
        snd_pcm_stream_name(stream), mode, result);
  return result;
}

size_t __wrap_snd_pcm_hw_params_sizeof() {
  Recorder& r = Recorder::Get();
  r.Count("snd_pcm_hw_params_sizeof");
  const size_t result = __real_snd_pcm_hw_params_sizeof();
  r.Log("snd_pcm_hw_params_sizeof() = %zu", result);
  return result;
}

int __wrap_snd_pcm_hw_params_any(snd_pcm_t* pcm, snd_pcm_hw_params_t* params) {
  Recorder& r = Recorder::Get();
  const std::optional<long> fault = r.Count("snd_pcm_hw_params_any");
  const int result = fault ? static_cast<int>(*fault) : __real_snd_pcm_hw_params_any(pcm, params);
  const std::string container = r.FilledParams(params);
  r.Log("snd_pcm_hw_params_any(%s, %s) = %d", r.Name(pcm).c_str(), container.c_str(), result);
  return result;
}

int __wrap_snd_pcm_hw_params_set_access(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                        snd_pcm_access_t access) {
  Recorder& r = Recorder::Get();
  const std::optional<long> fault = r.Count("snd_pcm_hw_params_set_access");
  const int result =
      fault ? static_cast<int>(*fault) : __real_snd_pcm_hw_params_set_access(pcm, params, access);
  r.Log("snd_pcm_hw_params_set_access(%s, %s, %s) = %d", r.Name(pcm).c_str(),
        r.Name(params).c_str(), snd_pcm_access_name(access), result);
  return result;
}

int __wrap_snd_pcm_hw_params_set_format(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                        snd_pcm_format_t format) {
  Recorder& r = Recorder::Get();
  const std::optional<long> fault = r.Count("snd_pcm_hw_params_set_format");
  const int result =
      fault ? static_cast<int>(*fault) : __real_snd_pcm_hw_params_set_format(pcm, params, format);
  const char* name = snd_pcm_format_name(format);
  r.Log("snd_pcm_hw_params_set_format(%s, %s, %s) = %d", r.Name(pcm).c_str(),
        r.Name(params).c_str(), name == nullptr ? "?" : name, result);
  return result;
}

int __wrap_snd_pcm_hw_params_set_channels(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                          unsigned int channels) {
  Recorder& r = Recorder::Get();
  const std::optional<long> fault = r.Count("snd_pcm_hw_params_set_channels");
  const int result = fault ? static_cast<int>(*fault)
                           : __real_snd_pcm_hw_params_set_channels(pcm, params, channels);
  r.Log("snd_pcm_hw_params_set_channels(%s, %s, %u) = %d", r.Name(pcm).c_str(),
        r.Name(params).c_str(), channels, result);
  return result;
}

int __wrap_snd_pcm_hw_params_set_rate_near(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                           unsigned int* rate, int* dir) {
  Recorder& r = Recorder::Get();
  const std::optional<long> fault = r.Count("snd_pcm_hw_params_set_rate_near");
  const std::string asked = Dir(dir);
  const unsigned int requested = *rate;
  const int result = fault ? static_cast<int>(*fault)
                           : __real_snd_pcm_hw_params_set_rate_near(pcm, params, rate, dir);
  r.Log("snd_pcm_hw_params_set_rate_near(%s, %s, &%u -> %u, %s) = %d", r.Name(pcm).c_str(),
        r.Name(params).c_str(), requested, *rate, asked.c_str(), result);
  return result;
}

int __wrap_snd_pcm_hw_params_set_period_size_near(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                                  snd_pcm_uframes_t* frames, int* dir) {
  Recorder& r = Recorder::Get();
  const std::optional<long> fault = r.Count("snd_pcm_hw_params_set_period_size_near");
  const std::string asked = Dir(dir);
  const snd_pcm_uframes_t requested = *frames;
  if (r.period()) *frames = *r.period();
  const int result = fault
                         ? static_cast<int>(*fault)
                         : __real_snd_pcm_hw_params_set_period_size_near(pcm, params, frames, dir);
  r.Log("snd_pcm_hw_params_set_period_size_near(%s, %s, &%lu -> %lu, %s) = %d", r.Name(pcm).c_str(),
        r.Name(params).c_str(), requested, *frames, asked.c_str(), result);
  return result;
}

int __wrap_snd_pcm_hw_params_set_buffer_size_near(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                                  snd_pcm_uframes_t* frames) {
  Recorder& r = Recorder::Get();
  const std::optional<long> fault = r.Count("snd_pcm_hw_params_set_buffer_size_near");
  const snd_pcm_uframes_t requested = *frames;
  const int result = fault ? static_cast<int>(*fault)
                           : __real_snd_pcm_hw_params_set_buffer_size_near(pcm, params, frames);
  r.Log("snd_pcm_hw_params_set_buffer_size_near(%s, %s, &%lu -> %lu) = %d", r.Name(pcm).c_str(),
        r.Name(params).c_str(), requested, *frames, result);
  return result;
}

int __wrap_snd_pcm_hw_params(snd_pcm_t* pcm, snd_pcm_hw_params_t* params) {
  Recorder& r = Recorder::Get();
  const std::optional<long> fault = r.Count("snd_pcm_hw_params");
  const int result = fault ? static_cast<int>(*fault) : __real_snd_pcm_hw_params(pcm, params);
  r.Log("snd_pcm_hw_params(%s, %s) = %d", r.Name(pcm).c_str(), r.Name(params).c_str(), result);
  return result;
}

int __wrap_snd_pcm_hw_params_get_buffer_size(const snd_pcm_hw_params_t* params,
                                             snd_pcm_uframes_t* frames) {
  Recorder& r = Recorder::Get();
  const std::optional<long> fault = r.Count("snd_pcm_hw_params_get_buffer_size");
  const int result =
      fault ? static_cast<int>(*fault) : __real_snd_pcm_hw_params_get_buffer_size(params, frames);
  r.Log("snd_pcm_hw_params_get_buffer_size(%s, &%lu) = %d", r.Name(params).c_str(), *frames,
        result);
  return result;
}

int __wrap_snd_pcm_hw_params_get_period_time(const snd_pcm_hw_params_t* params, unsigned int* time,
                                             int* dir) {
  Recorder& r = Recorder::Get();
  const std::optional<long> fault = r.Count("snd_pcm_hw_params_get_period_time");
  const int result = fault ? static_cast<int>(*fault)
                           : __real_snd_pcm_hw_params_get_period_time(params, time, dir);
  r.Log("snd_pcm_hw_params_get_period_time(%s, &%u, %s) = %d", r.Name(params).c_str(), *time,
        Dir(dir).c_str(), result);
  return result;
}

int __wrap_snd_pcm_hw_params_get_period_size(const snd_pcm_hw_params_t* params,
                                             snd_pcm_uframes_t* frames, int* dir) {
  Recorder& r = Recorder::Get();
  const std::optional<long> fault = r.Count("snd_pcm_hw_params_get_period_size");
  const int result = fault ? static_cast<int>(*fault)
                           : __real_snd_pcm_hw_params_get_period_size(params, frames, dir);
  r.Log("snd_pcm_hw_params_get_period_size(%s, &%lu, %s) = %d", r.Name(params).c_str(), *frames,
        Dir(dir).c_str(), result);
  return result;
}

int __wrap_snd_pcm_prepare(snd_pcm_t* pcm) {
  return ForwardPcm("snd_pcm_prepare", __real_snd_pcm_prepare, pcm);
}

snd_pcm_sframes_t __wrap_snd_pcm_writei(snd_pcm_t* pcm, const void* buffer,
                                        snd_pcm_uframes_t frames) {
  Recorder& r = Recorder::Get();
  const std::optional<long> fault = r.Count("snd_pcm_writei");
  r.Scheduling("snd_pcm_writei");
  snd_pcm_sframes_t result = 0;
  if (!fault) {
    result = __real_snd_pcm_writei(pcm, buffer, frames);
  } else if (*fault >= 0) {
    // A short write: the device takes only the first frames of the period.
    result = __real_snd_pcm_writei(pcm, buffer,
                                   std::min(frames, static_cast<snd_pcm_uframes_t>(*fault)));
  } else {
    result = *fault;
  }
  r.Log("snd_pcm_writei(%s, %lu) = %ld", r.Name(pcm).c_str(), frames, result);
  return result;
}

int __wrap_snd_pcm_drain(snd_pcm_t* pcm) {
  return ForwardPcm("snd_pcm_drain", __real_snd_pcm_drain, pcm);
}

int __wrap_snd_pcm_drop(snd_pcm_t* pcm) {
  return ForwardPcm("snd_pcm_drop", __real_snd_pcm_drop, pcm);
}

int __wrap_snd_pcm_close(snd_pcm_t* pcm) {
  Recorder& r = Recorder::Get();
  const std::optional<long> fault = r.Count("snd_pcm_close");
  const std::string name = r.Name(pcm);
  const int result = fault ? static_cast<int>(*fault) : __real_snd_pcm_close(pcm);
  r.Log("snd_pcm_close(%s) = %d", name.c_str(), result);
  return result;
}

}  // extern "C"
