// Downloading the movie on a background thread and reading its header.
#pragma once

#include <windows.h>

#include <string>

namespace standin {

// Posted to the notify window when a download ends (either way).
constexpr UINT kLoadDoneMessage = WM_APP + 17;

// What the first bytes of a movie file say.
struct MovieHeader {
  char signature[4] = {0, 0, 0, 0};  // "FWS", "CWS", "ZWS" or empty
  int version = 0;
  unsigned long declared_length = 0;  // the header's file length field
  bool has_frame_info = false;        // rectangle, rate and count were read (FWS only)
  long width_px = 0, height_px = 0;   // frame size in pixels (twips / 20)
  double rate = 0.0;                  // frames per second (8.8 fixed point)
  long frames = 0;                    // frame count
};

// Reads the header from the first `size` bytes of a file. Returns false when
// the bytes are not a movie (no known signature). For an uncompressed movie
// the frame rectangle is a bit field (5 bits of field width, then four
// signed fields), after which come the rate and the frame count; when the
// bytes end before them, has_frame_info stays false.
bool ParseMovieHeader(const unsigned char* data, size_t size, MovieHeader* header);

enum class LoadState { kLoading, kLoaded, kFailed };

// A snapshot of a download's progress.
struct LoadStatus {
  LoadState state = LoadState::kLoading;
  unsigned long long bytes = 0;     // received so far / in total
  unsigned long long expected = 0;  // announced length, 0 when unknown
  bool is_movie = false;
  MovieHeader header;
  std::wstring error;       // failure text
  ULONGLONG done_tick = 0;  // GetTickCount64 when it ended
};

// One download, shared by the control and its thread (reference counted).
class LoadJob {
 public:
  // Starts the download thread and returns the job with one reference for
  // the caller. The job posts kLoadDoneMessage to `notify` (may be null;
  // changed later with SetNotify) when it ends. When no thread can be
  // started the returned job has already failed; null only when out of
  // memory.
  static LoadJob* Start(const std::wstring& url, HWND notify);

  void AddRef();
  void Release();

  // The window to tell about the end; null to stop telling anyone.
  void SetNotify(HWND notify);
  // Asks the thread to stop at its next read; it stops telling anyone.
  void Cancel();
  LoadStatus Status();
  const std::wstring& url() const { return url_; }

 private:
  explicit LoadJob(const std::wstring& url, HWND notify);
  ~LoadJob();
  static DWORD WINAPI ThreadMain(void* param);
  void Run();
  bool FetchHttp();
  bool FetchFile(const std::wstring& path);
  void AddBytes(const unsigned char* data, size_t size);
  void Finish(bool ok, const std::wstring& error);

  volatile LONG refs_ = 1;
  volatile LONG cancelled_ = 0;
  std::wstring url_;
  CRITICAL_SECTION lock_;
  HWND notify_ = nullptr;
  LoadStatus status_;
  unsigned char head_[64] = {};
  size_t head_size_ = 0;
};

}  // namespace standin
