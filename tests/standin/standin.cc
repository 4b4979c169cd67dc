// Stand-in for the vendor's NDI runtime (Processing.NDI.Lib.x64.dll): test equipment that
// records every call the addon makes, never installed. Built in four variants, each in a
// directory of its own because the file name is fixed: full, noasync (no
// NDIlib_send_send_video_async_v2), nosend (no NDIlib_send_send_video_v2) and decoy (full
// exports, placed where the addon must never look).
//
// Environment of the loading process, read when noted:
//   NDI_STANDIN_LOG=<file>          append one line per event (read at every event)
//   NDI_STANDIN_INIT_FAIL=1         NDIlib_initialize answers false (read at each call)
//   NDI_STANDIN_CREATE_REFUSE=1     NDIlib_send_create answers null (read at each call)
//   NDI_STANDIN_WATCH_MS=<n>        async: re-read the owned frame every n ms (default 1;
//                                   0 = first pass only)             (read at send_create)
//   NDI_STANDIN_CHECKSUM=0          never read frame bytes            (read at send_create)
//   NDI_STANDIN_SAMPLE_EVERY=<n>    read, log and watch only frames 1, n+1, 2n+1, ... of a
//                                   sender; the others are only counted (long runs)
//                                                                     (read at send_create)
//   NDI_STANDIN_FRAME_DIR=<dir>     keep the last frame; write last-frame.raw and
//                                   last-frame.json there at flush and destroy
//                                                                     (read at send_create)
//   NDI_STANDIN_BLOCK_DESTROY=1     NDIlib_send_destroy logs send_destroy_blocked and never
//                                   returns, as the vendor's runtime does under Wine
//                                                                     (read at each call)
//   NDI_STANDIN_STAMPS=<file>       record each frame's stamp and when it arrived; append
//                                   them to the file at send_destroy (read at send_create)
//   NDI_STANDIN_CRASH_AT_FRAME=<n>  crash the process with an access violation when a
//                                   sender is handed its n-th frame   (read at send_create)
//   NDI_STANDIN_CRASH_ONCE=<file>   ... only when <file> does not exist yet: it is made
//                                   first, so one crash per file      (read at the crash)
// It sets NDI_STANDIN_INIT_COUNT=<pid>:<n> itself: the count of NDIlib_initialize calls of
// the process, kept there so that it survives an unload and reload of this library.
//
// Log format: one line per event, "<event> <key>=<value> ... pid=<n> variant=<v>\n",
// written with one WriteFile call under a named mutex, so processes may share the file.
// Values never contain spaces; texts are given as lower-case hex of their UTF-8 bytes,
// "null" for a null pointer. Events:
//   load path=<hex of the module's own file name>        DLL attached to the process
//   unload                                               FreeLibrary dropped the DLL
//   initialize count=<calls in this process, across reloads> result=<0|1>
//   destroy                                              NDIlib_destroy
//   send_create name=<hex|null> groups=<hex|null> clock_video=<0|1> clock_audio=<0|1>
//       instance=<n>  or  result=null when refused (instance numbers count from 1)
//   send_video mode=<sync|async> instance=<n> frame=<n> xres= yres= fourcc=0x<8 hex>
//       rate=<N>/<D> aspect=<%g> format=<n> timecode=<n> stride=<n> metadata=<hex|null>
//       timestamp=<n> bytes=<stride*yres> fnv=<16 hex: FNV-1a 64 of the bytes, or off>
//       (a null p_data gives bytes=0 fnv=null)
//   frame_changed instance=<n> frame=<n> fnv=<at submission> now=<when re-read>
//       the bytes of an owned asynchronous frame changed (logged once per frame)
//   flush instance=<n>                                   async send with a null frame
//   send_destroy instance=<n> frames=<frames received>
//   send_destroy_blocked instance=<n>                    NDI_STANDIN_BLOCK_DESTROY is set
//   crash instance=<n> frame=<n>                         NDI_STANDIN_CRASH_AT_FRAME, just before
//
// Stamps file (NDI_STANDIN_STAMPS), one line per frame of 16 bytes or more, then one
// closing line per sender:
//   stamp instance=<n> frame=<first 8 bytes: uint64 LE> sent=<next 8 bytes: float64 LE>
//       arrived=<ms since 1970-01-01 UTC, from GetSystemTimePreciseAsFileTime>
//   stamps instance=<n> count=<lines before it>
// A latency benchmark writes a frame number and the time of its send (ms since 1970, the
// same wall clock: Wine reads CLOCK_REALTIME for it, whereas its performance counter is
// CLOCK_MONOTONIC_RAW, which Linux programs rarely read) into its frames' first bytes.
//
// Asynchronous sending mimics the real runtime: the call returns at once and a thread of
// the sender keeps reading the frame until the next asynchronous send or the flush. Those
// calls first wait until the thread has finished at least one pass over the old frame and
// is not inside one, then make a last pass of their own: after they return, the old
// frame's memory is never read again.

#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "ndi_abi.h"

#ifndef STANDIN_VARIANT
#define STANDIN_VARIANT "full"
#endif

namespace {

HANDLE g_log_mutex = nullptr;
LONG g_instance_count = 0;
// Read through a volatile pointer so that the compiler cannot see it is null.
int* volatile g_nowhere = nullptr;
SRWLOCK g_mutex_create_lock = SRWLOCK_INIT;

std::wstring GetEnv(const wchar_t* name) {
  wchar_t small[512];
  DWORD n = ::GetEnvironmentVariableW(name, small, 512);
  if (n == 0) return std::wstring();
  if (n < 512) return std::wstring(small, n);
  std::vector<wchar_t> big(n);
  DWORD m = ::GetEnvironmentVariableW(name, big.data(), n);
  if (m == 0 || m >= n) return std::wstring();
  return std::wstring(big.data(), m);
}

bool EnvIs(const wchar_t* name, const wchar_t* value) { return GetEnv(name) == value; }

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n,
                        nullptr, nullptr);
  return out;
}

std::string Hex(const char* bytes, size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    const unsigned char b = static_cast<unsigned char>(bytes[i]);
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::string HexText(const char* text) {
  return text == nullptr ? std::string("null") : Hex(text, std::strlen(text));
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return std::string();
  return std::string(buffer, static_cast<size_t>(n) < sizeof buffer ? n : sizeof buffer - 1);
}

bool LogWanted() { return ::GetEnvironmentVariableW(L"NDI_STANDIN_LOG", nullptr, 0) != 0; }

// One line, one WriteFile, under a mutex shared by every process on the machine.
void LogEvent(const std::string& event) {
  const std::wstring path = GetEnv(L"NDI_STANDIN_LOG");
  if (path.empty()) return;
  const std::string line = event + Format(" pid=%lu variant=%s\n", ::GetCurrentProcessId(),
                                          STANDIN_VARIANT);
  ::AcquireSRWLockExclusive(&g_mutex_create_lock);
  if (g_log_mutex == nullptr) {
    g_log_mutex = ::CreateMutexW(nullptr, FALSE, L"Local\\KestovarNdiStandinLog");
  }
  ::ReleaseSRWLockExclusive(&g_mutex_create_lock);
  if (g_log_mutex != nullptr) ::WaitForSingleObject(g_log_mutex, 10000);
  HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    ::WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    ::CloseHandle(file);
  }
  if (g_log_mutex != nullptr) ::ReleaseMutex(g_log_mutex);
}

// Counts NDIlib_initialize calls per process, across unloads and reloads of this library:
// the count lives in the process environment, tagged with the process id so that a child
// inheriting it starts again from zero.
long NextInitializeCount() {
  static SRWLOCK lock = SRWLOCK_INIT;
  ::AcquireSRWLockExclusive(&lock);
  const std::wstring old = GetEnv(L"NDI_STANDIN_INIT_COUNT");
  const unsigned long pid = ::GetCurrentProcessId();
  long count = 0;
  unsigned long old_pid = 0;
  if (swscanf(old.c_str(), L"%lu:%ld", &old_pid, &count) != 2 || old_pid != pid) count = 0;
  ++count;
  wchar_t text[64];
  swprintf(text, 64, L"%lu:%ld", pid, count);
  ::SetEnvironmentVariableW(L"NDI_STANDIN_INIT_COUNT", text);
  ::ReleaseSRWLockExclusive(&lock);
  return count;
}

uint64_t Fnv1a64(const uint8_t* data, size_t length) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (size_t i = 0; i < length; ++i) {
    hash ^= data[i];
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

double NowMs() {
  LARGE_INTEGER frequency, counter;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// Milliseconds since 1970-01-01 UTC.
double WallClockMs() {
  FILETIME now;
  ::GetSystemTimePreciseAsFileTime(&now);
  const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  const uint64_t kUnixEpochTicks = 116444736000000000ULL;  // 1970 in 100 ns units since 1601
  return static_cast<double>(ticks - kUnixEpochTicks) / 1e4;
}

struct Stamp {
  uint64_t frame;
  double sent;
  double arrived;
};

struct Sender {
  int instance;
  bool checksum;
  long long sample_every;
  DWORD watch_ms;
  std::wstring frame_dir;
  std::wstring stamps_file;
  std::vector<Stamp> stamps;
  long long crash_at_frame = 0;

  // Last frame kept for the frame directory.
  std::vector<uint8_t> last_copy;
  int last_xres = 0, last_yres = 0, last_stride = 0, last_fourcc = 0;
  bool have_last = false;
  long long frames = 0;
  double first_ms = 0, last_ms = 0;

  // The owned asynchronous frame and its watcher thread; all under `lock`.
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
  HANDLE thread = nullptr;
  bool quit = false;
  bool owned = false;      // the runtime may read `data`
  bool in_pass = false;    // the watcher is reading `data` now
  int passes = 0;          // passes completed over the owned frame
  bool reported = false;   // frame_changed already logged for it
  const uint8_t* data = nullptr;
  size_t bytes = 0;
  uint64_t fnv = 0;
  long long frame_number = 0;
};

std::string FnvText(uint64_t fnv) { return Format("%016llx", static_cast<unsigned long long>(fnv)); }

// Called with the lock held, or by the single watcher pass while it owns `in_pass`.
void CheckOwnedFrame(Sender* s, const uint8_t* data, size_t bytes, uint64_t fnv, long long number,
                     bool* reported) {
  const uint64_t now = Fnv1a64(data, bytes);
  if (now != fnv && !*reported) {
    *reported = true;
    LogEvent(Format("frame_changed instance=%d frame=%lld fnv=%s now=%s", s->instance, number,
                    FnvText(fnv).c_str(), FnvText(now).c_str()));
  }
}

DWORD WINAPI WatchFrames(void* param) {
  Sender* s = static_cast<Sender*>(param);
  ::AcquireSRWLockExclusive(&s->lock);
  for (;;) {
    while (!s->quit && (!s->owned || (s->watch_ms == 0 && s->passes > 0))) {
      ::SleepConditionVariableSRW(&s->changed, &s->lock, INFINITE, 0);
    }
    if (s->quit) break;
    s->in_pass = true;
    const uint8_t* data = s->data;
    const size_t bytes = s->bytes;
    const uint64_t fnv = s->fnv;
    const long long number = s->frame_number;
    bool reported = s->reported;
    ::ReleaseSRWLockExclusive(&s->lock);
    CheckOwnedFrame(s, data, bytes, fnv, number, &reported);
    ::AcquireSRWLockExclusive(&s->lock);
    s->in_pass = false;
    s->reported = s->reported || reported;
    ++s->passes;
    ::WakeAllConditionVariable(&s->changed);
    if (s->watch_ms > 0 && s->owned && !s->quit) {
      ::SleepConditionVariableSRW(&s->changed, &s->lock, s->watch_ms, 0);
    }
  }
  ::ReleaseSRWLockExclusive(&s->lock);
  return 0;
}

// Ends the ownership of the current asynchronous frame: waits for the watcher's first pass
// and any pass in progress, then reads the frame one last time. Lock held by the caller.
void ReleaseOwnedFrame(Sender* s) {
  if (!s->owned) return;
  while ((s->passes == 0 && s->thread != nullptr) || s->in_pass) {
    ::SleepConditionVariableSRW(&s->changed, &s->lock, INFINITE, 0);
  }
  bool reported = s->reported;
  CheckOwnedFrame(s, s->data, s->bytes, s->fnv, s->frame_number, &reported);
  if (!s->frame_dir.empty()) {
    s->last_copy.assign(s->data, s->data + s->bytes);
    s->have_last = true;
  }
  s->owned = false;
  s->data = nullptr;
  s->reported = false;
}

void WriteWholeFile(const std::wstring& path, const void* data, size_t length) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (length > 0) {
    DWORD chunk = length > (1u << 30) ? (1u << 30) : static_cast<DWORD>(length);
    DWORD written = 0;
    if (!::WriteFile(file, p, chunk, &written, nullptr) || written == 0) break;
    p += written;
    length -= written;
  }
  ::CloseHandle(file);
}

void WriteFrameDir(Sender* s) {
  if (s->frame_dir.empty() || !s->have_last) return;
  std::wstring dir = s->frame_dir;
  if (dir.back() != L'\\' && dir.back() != L'/') dir += L'\\';
  WriteWholeFile(dir + L"last-frame.raw", s->last_copy.data(), s->last_copy.size());
  char fourcc[5] = {};
  std::memcpy(fourcc, &s->last_fourcc, 4);
  for (char& c : fourcc) {
    if (c != 0 && (c < 0x20 || c > 0x7e || c == '"' || c == '\\')) c = '?';
  }
  const std::string json = Format(
      "{\"xres\":%d,\"yres\":%d,\"fourcc\":\"%s\",\"stride\":%d,\"frames\":%lld,"
      "\"first_ms\":%.3f,\"last_ms\":%.3f}\n",
      s->last_xres, s->last_yres, fourcc, s->last_stride, s->frames, s->first_ms, s->last_ms);
  WriteWholeFile(dir + L"last-frame.json", json.data(), json.size());
}

void WriteStamps(Sender* s) {
  if (s->stamps_file.empty()) return;
  std::string text;
  for (const Stamp& stamp : s->stamps) {
    text += Format("stamp instance=%d frame=%llu sent=%.4f arrived=%.4f\n", s->instance,
                   static_cast<unsigned long long>(stamp.frame), stamp.sent, stamp.arrived);
  }
  text += Format("stamps instance=%d count=%llu\n", s->instance,
                 static_cast<unsigned long long>(s->stamps.size()));
  HANDLE file = ::CreateFileW(s->stamps_file.c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  ::CloseHandle(file);
}

void LogFrame(const Sender* s, const NDIlib_video_frame_v2_t* frame, bool async, long long number,
              size_t bytes, const std::string& fnv_text) {
  char aspect[64];
  std::snprintf(aspect, sizeof aspect, "%g", static_cast<double>(frame->picture_aspect_ratio));
  LogEvent(Format("send_video mode=%s instance=%d frame=%lld xres=%d yres=%d fourcc=0x%08x "
                  "rate=%d/%d aspect=%s format=%d timecode=%lld stride=%d",
                  async ? "async" : "sync", s->instance, number, frame->xres, frame->yres,
                  static_cast<unsigned>(frame->FourCC), frame->frame_rate_N, frame->frame_rate_D,
                  aspect, static_cast<int>(frame->frame_format_type),
                  static_cast<long long>(frame->timecode), frame->line_stride_in_bytes) +
           " metadata=" + HexText(frame->p_metadata) +
           Format(" timestamp=%lld bytes=%llu fnv=", static_cast<long long>(frame->timestamp),
                  static_cast<unsigned long long>(bytes)) +
           fnv_text);
}

// A runtime that crashes its process (NDI_STANDIN_CRASH_AT_FRAME): a real access
// violation, once per NDI_STANDIN_CRASH_ONCE file when that is set.
void CrashUnlessDone(int instance, long long frame) {
  const std::wstring marker = GetEnv(L"NDI_STANDIN_CRASH_ONCE");
  if (!marker.empty()) {
    HANDLE file = ::CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    ::CloseHandle(file);
  }
  LogEvent(Format("crash instance=%d frame=%lld", instance, frame));
  *g_nowhere = 1;
}

void SendVideo(Sender* s, const NDIlib_video_frame_v2_t* frame, bool async) {
  if (s == nullptr) return;
  const double arrived = s->stamps_file.empty() ? 0 : WallClockMs();
  ::AcquireSRWLockExclusive(&s->lock);
  // Whatever comes next, the runtime is done with the previous asynchronous frame.
  ReleaseOwnedFrame(s);
  if (frame == nullptr) {
    LogEvent(Format("flush instance=%d", s->instance));
    ::ReleaseSRWLockExclusive(&s->lock);
    return;
  }
  if (!s->stamps_file.empty() && frame->p_data != nullptr && frame->line_stride_in_bytes > 0 &&
      frame->yres > 0 &&
      static_cast<size_t>(frame->line_stride_in_bytes) * frame->yres >= 16) {
    Stamp stamp;
    std::memcpy(&stamp.frame, frame->p_data, 8);
    std::memcpy(&stamp.sent, frame->p_data + 8, 8);
    stamp.arrived = arrived;
    s->stamps.push_back(stamp);
  }
  const double now = NowMs();
  if (s->frames == 0) s->first_ms = now;
  s->last_ms = now;
  const long long number = ++s->frames;
  if (number == s->crash_at_frame) CrashUnlessDone(s->instance, number);
  const size_t bytes = frame->p_data == nullptr || frame->line_stride_in_bytes <= 0 ||
                               frame->yres <= 0
                           ? 0
                           : static_cast<size_t>(frame->line_stride_in_bytes) *
                                 static_cast<size_t>(frame->yres);
  const bool sampled = (number - 1) % s->sample_every == 0;
  uint64_t fnv = 0;
  std::string fnv_text = "off";
  if (frame->p_data == nullptr) {
    fnv_text = "null";
  } else if (s->checksum && sampled) {
    fnv = Fnv1a64(frame->p_data, bytes);
    fnv_text = FnvText(fnv);
  }
  // The line is only built when someone reads it: benchmarks measure the caller, not this.
  if (LogWanted() && sampled) LogFrame(s, frame, async, number, bytes, fnv_text);
  s->last_xres = frame->xres;
  s->last_yres = frame->yres;
  s->last_stride = frame->line_stride_in_bytes;
  s->last_fourcc = frame->FourCC;
  if (async && frame->p_data != nullptr && s->checksum && sampled) {
    s->owned = true;
    s->data = frame->p_data;
    s->bytes = bytes;
    s->fnv = fnv;
    s->frame_number = number;
    s->passes = 0;
    s->reported = false;
    ::WakeAllConditionVariable(&s->changed);
  } else if (!s->frame_dir.empty() && frame->p_data != nullptr) {
    // Without the watcher (sync, or no checksums) the bytes are copied at once.
    s->last_copy.assign(frame->p_data, frame->p_data + bytes);
    s->have_last = true;
  }
  ::ReleaseSRWLockExclusive(&s->lock);
}

}  // namespace

extern "C" {

bool NDIlib_initialize(void) {
  const long count = NextInitializeCount();
  const bool result = !EnvIs(L"NDI_STANDIN_INIT_FAIL", L"1");
  LogEvent(Format("initialize count=%ld result=%d", count, result ? 1 : 0));
  return result;
}

void NDIlib_destroy(void) { LogEvent("destroy"); }

void* NDIlib_send_create(const NDIlib_send_create_t* create) {
  std::string fields = "send_create";
  if (create == nullptr) {
    fields += " create=null";
  } else {
    fields += " name=" + HexText(create->p_ndi_name) + " groups=" + HexText(create->p_groups) +
              Format(" clock_video=%d clock_audio=%d", create->clock_video ? 1 : 0,
                     create->clock_audio ? 1 : 0);
  }
  if (EnvIs(L"NDI_STANDIN_CREATE_REFUSE", L"1")) {
    LogEvent(fields + " result=null");
    return nullptr;
  }
  Sender* s = new Sender();
  s->instance = static_cast<int>(::InterlockedIncrement(&g_instance_count));
  s->checksum = !EnvIs(L"NDI_STANDIN_CHECKSUM", L"0");
  const std::wstring every = GetEnv(L"NDI_STANDIN_SAMPLE_EVERY");
  s->sample_every = every.empty() ? 1 : std::max(1, _wtoi(every.c_str()));
  const std::wstring watch = GetEnv(L"NDI_STANDIN_WATCH_MS");
  s->watch_ms = watch.empty() ? 1 : static_cast<DWORD>(_wtoi(watch.c_str()));
  s->frame_dir = GetEnv(L"NDI_STANDIN_FRAME_DIR");
  s->stamps_file = GetEnv(L"NDI_STANDIN_STAMPS");
  s->crash_at_frame = _wtoi(GetEnv(L"NDI_STANDIN_CRASH_AT_FRAME").c_str());
  s->thread = ::CreateThread(nullptr, 0, WatchFrames, s, 0, nullptr);
  LogEvent(fields + Format(" instance=%d", s->instance));
  return s;
}

void NDIlib_send_destroy(void* instance) {
  Sender* s = static_cast<Sender*>(instance);
  if (s == nullptr) return;
  if (EnvIs(L"NDI_STANDIN_BLOCK_DESTROY", L"1")) {
    LogEvent(Format("send_destroy_blocked instance=%d", s->instance));
    for (;;) ::Sleep(INFINITE);
  }
  ::AcquireSRWLockExclusive(&s->lock);
  ReleaseOwnedFrame(s);
  s->quit = true;
  ::WakeAllConditionVariable(&s->changed);
  ::ReleaseSRWLockExclusive(&s->lock);
  if (s->thread != nullptr) {
    ::WaitForSingleObject(s->thread, INFINITE);
    ::CloseHandle(s->thread);
  }
  WriteFrameDir(s);
  WriteStamps(s);
  LogEvent(Format("send_destroy instance=%d frames=%lld", s->instance, s->frames));
  delete s;
}

void NDIlib_send_send_video_v2(void* instance, const NDIlib_video_frame_v2_t* frame) {
  SendVideo(static_cast<Sender*>(instance), frame, false);
}

void NDIlib_send_send_video_async_v2(void* instance, const NDIlib_video_frame_v2_t* frame) {
  Sender* s = static_cast<Sender*>(instance);
  SendVideo(s, frame, true);
  if (frame == nullptr && s != nullptr) WriteFrameDir(s);
}

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    ::DisableThreadLibraryCalls(module);
    wchar_t path[MAX_PATH * 4];
    DWORD n = ::GetModuleFileNameW(module, path, MAX_PATH * 4);
    const std::string utf8 = Utf8(std::wstring(path, n));
    LogEvent("load path=" + Hex(utf8.data(), utf8.size()));
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    // Only a FreeLibrary: at process exit other threads may have died holding the lock.
    LogEvent("unload");
  }
  return TRUE;
}
