// Experiment on the vendor's NDI runtime's receive path under Wine (test equipment, run only
// inside tests/rig/vendor-netns). Not part of the test suite: it records what a vendor
// receiver gets from a vendor sender.
//
// Usage: kestovar-vendor-receiver RUNTIME_DIR send NAME MS [unclocked]
//          a sender of 64x36 BGRA frames at 30 fps (clocked, or as fast as it goes) for MS
//          milliseconds
//        kestovar-vendor-receiver RUNTIME_DIR recv TEXT MS [metadata-first] [send-metadata]
//                                 [color=N] [bandwidth=N]
//          finds a source whose name contains TEXT, receives for MS milliseconds and prints
//          every frame type it captures ("video WxH", "metadata <text>", "status", ...).
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

extern "C" {

struct NDIlib_source_t {
  const char* p_ndi_name;
  const char* p_url_address;
};
struct NDIlib_find_create_t {
  bool show_local_sources;
  const char* p_groups;
  const char* p_extra_ips;
};
struct NDIlib_send_create_t {
  const char* p_ndi_name;
  const char* p_groups;
  bool clock_video;
  bool clock_audio;
};
struct NDIlib_recv_create_v3_t {
  NDIlib_source_t source_to_connect_to;
  int32_t color_format;  // 0 BGRX_BGRA, 1 UYVY_BGRA, 2 RGBX_RGBA, 100 fastest
  int32_t bandwidth;     // 100 highest
  bool allow_video_fields;
  const char* p_ndi_recv_name;
};
struct NDIlib_video_frame_v2_t {
  int xres, yres;
  int32_t FourCC;
  int frame_rate_N, frame_rate_D;
  float picture_aspect_ratio;
  int32_t frame_format_type;
  int64_t timecode;
  uint8_t* p_data;
  int line_stride_in_bytes;
  const char* p_metadata;
  int64_t timestamp;
};
struct NDIlib_metadata_frame_t {
  int length;
  int64_t timecode;
  char* p_data;
};

}  // extern "C"

namespace {

HMODULE g_runtime;

template <typename Fn>
Fn Entry(const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(g_runtime, name)));
}

void Print(const std::string& line) {
  const std::string text = line + "\n";
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

std::string Utf8(const wchar_t* text) {
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) ::WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
  return out;
}

int Send(const std::string& name, DWORD ms, bool clocked) {
  auto create = Entry<void* (*)(const NDIlib_send_create_t*)>("NDIlib_send_create");
  auto send = Entry<void (*)(void*, const NDIlib_video_frame_v2_t*)>("NDIlib_send_send_video_v2");
  auto connections = Entry<int (*)(void*, uint32_t)>("NDIlib_send_get_no_connections");
  NDIlib_send_create_t settings = {name.c_str(), nullptr, clocked, false};
  void* sender = create(&settings);
  static uint8_t pixels[64 * 36 * 4];
  NDIlib_video_frame_v2_t frame = {};
  frame.xres = 64;
  frame.yres = 36;
  frame.FourCC = 'B' | ('G' << 8) | ('R' << 16) | ('A' << 24);
  frame.frame_rate_N = 30;
  frame.frame_rate_D = 1;
  frame.frame_format_type = 1;
  frame.timecode = INT64_MAX;
  frame.p_data = pixels;
  frame.line_stride_in_bytes = 64 * 4;
  const ULONGLONG start = ::GetTickCount64();
  int n = 0;
  while (::GetTickCount64() - start < ms) {
    std::memset(pixels, n & 0xff, sizeof pixels);
    send(sender, &frame);
    if (++n % 30 == 0) Print("sent " + std::to_string(n) + " connections=" + std::to_string(connections(sender, 0)));
  }
  ::ExitProcess(0);
}

int Receive(const std::string& text, DWORD ms, bool metadata_first, bool send_metadata, int color,
            int bandwidth) {
  auto find_create = Entry<void* (*)(const NDIlib_find_create_t*)>("NDIlib_find_create_v2");
  auto find_wait = Entry<bool (*)(void*, uint32_t)>("NDIlib_find_wait_for_sources");
  auto find_sources = Entry<const NDIlib_source_t* (*)(void*, uint32_t*)>("NDIlib_find_get_current_sources");
  auto recv_create = Entry<void* (*)(const NDIlib_recv_create_v3_t*)>("NDIlib_recv_create_v3");
  auto capture = Entry<int (*)(void*, NDIlib_video_frame_v2_t*, void*, NDIlib_metadata_frame_t*, uint32_t)>(
      "NDIlib_recv_capture_v2");
  auto free_video = Entry<void (*)(void*, const NDIlib_video_frame_v2_t*)>("NDIlib_recv_free_video_v2");
  auto free_metadata = Entry<void (*)(void*, const NDIlib_metadata_frame_t*)>("NDIlib_recv_free_metadata");
  auto recv_send_metadata = Entry<bool (*)(void*, const NDIlib_metadata_frame_t*)>("NDIlib_recv_send_metadata");
  NDIlib_find_create_t find_settings = {true, nullptr, nullptr};
  void* finder = find_create(&find_settings);
  NDIlib_source_t source = {};
  for (int i = 0; i < 20 && source.p_ndi_name == nullptr; ++i) {
    find_wait(finder, 500);
    uint32_t count = 0;
    const NDIlib_source_t* list = find_sources(finder, &count);
    for (uint32_t k = 0; k < count; ++k) {
      if (std::string(list[k].p_ndi_name).find(text) != std::string::npos) source = list[k];
    }
  }
  if (source.p_ndi_name == nullptr) {
    Print("receiver: source not found");
    ::ExitProcess(1);
  }
  Print(std::string("receiver: connecting to ") + source.p_ndi_name + " at " + source.p_url_address);
  NDIlib_recv_create_v3_t settings = {source, color, bandwidth, false, "kestovar receiver"};
  void* receiver = recv_create(&settings);
  const ULONGLONG start = ::GetTickCount64();
  int counts[256] = {};
  bool metadata_sent = !send_metadata;
  while (::GetTickCount64() - start < ms) {
    // Accepted only once connected: tried until the runtime takes it.
    if (!metadata_sent) {
      char xml[] = "<ndi_capabilities ntk_ptz=\"false\"/>";
      NDIlib_metadata_frame_t m = {static_cast<int>(sizeof xml), 0, xml};
      if ((metadata_sent = recv_send_metadata(receiver, &m))) {
        Print("receiver: metadata sent after " + std::to_string(::GetTickCount64() - start) + " ms");
      }
    }
    NDIlib_video_frame_v2_t video = {};
    NDIlib_metadata_frame_t metadata = {};
    const bool ask_video = !metadata_first || ::GetTickCount64() - start > ms / 2;
    const int type = capture(receiver, ask_video ? &video : nullptr, nullptr, &metadata, 500);
    counts[type & 0xff]++;
    if (type == 1) {
      if (counts[1] <= 3) Print("video " + std::to_string(video.xres) + "x" + std::to_string(video.yres));
      free_video(receiver, &video);
    } else if (type == 3) {
      Print(std::string("metadata ") + (metadata.p_data ? metadata.p_data : ""));
      free_metadata(receiver, &metadata);
    } else if (type != 0) {
      Print("frame type " + std::to_string(type));
    }
  }
  Print("receiver end video=" + std::to_string(counts[1]) + " metadata=" + std::to_string(counts[3]) +
        " none=" + std::to_string(counts[0]) + " status=" + std::to_string(counts[100]));
  ::ExitProcess(counts[1] > 0 ? 0 : 1);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 5) return 2;
  g_runtime = ::LoadLibraryW((std::wstring(argv[1]) + L"\\Processing.NDI.Lib.x64.dll").c_str());
  if (g_runtime == nullptr || !Entry<bool (*)()>("NDIlib_initialize")()) return 2;
  const std::string mode = Utf8(argv[2]);
  const std::string name = Utf8(argv[3]);
  const DWORD ms = static_cast<DWORD>(_wtoi(argv[4]));
  bool metadata_first = false, send_metadata = false, clocked = true;
  int color = 0, bandwidth = 100;
  for (int i = 5; i < argc; ++i) {
    const std::string option = Utf8(argv[i]);
    if (option == "metadata-first") metadata_first = true;
    if (option == "send-metadata") send_metadata = true;
    if (option == "unclocked") clocked = false;
    if (option.rfind("color=", 0) == 0) color = std::stoi(option.substr(6));
    if (option.rfind("bandwidth=", 0) == 0) bandwidth = std::stoi(option.substr(10));
  }
  if (mode == "send") return Send(name, ms, clocked);
  return Receive(name, ms, metadata_first, send_metadata, color, bandwidth);
}
