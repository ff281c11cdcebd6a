// The route requests take out of the machine, as the embedded browser takes
// it: the user's Internet settings, their bypass rules, and the automatic
// configuration (detection or a script), whose answers are looked up off the
// caller's thread, one at a time, and kept.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

// The current user's Internet settings that decide how requests leave the
// machine, as the platform reports them (the browser's "LAN settings").
// The most routes an origin's list keeps.
constexpr size_t kMaxRoutes = 8;

struct ProxySettings {
  bool auto_detect = false;      // look for a configuration script on the network
  std::wstring auto_config_url;  // the configuration script's address
  std::wstring proxy;            // "host:port" for every scheme, or "http=h:p;https=h:p"
  std::wstring bypass;           // hosts that go direct, e.g. "*.okul.example;<local>"
};

// The longest a request waits for the automatic configuration's answer
// before it takes the named proxy (or goes direct).
constexpr DWORD kRouteWaitMs = 5000;

// True when an entry of the bypass list matches a request to `host` on
// `port` over `scheme` ("http" or "https"), without regard to case. Entries
// are separated by ';' or white space; '*' matches any run of characters;
// an entry may name a scheme ("https://*.example") or a port
// ("*.example:8443"), and then matches only those; "<local>" matches every
// host name without a dot.
bool IsBypassed(const std::wstring& bypass_list, const std::wstring& scheme,
                const std::wstring& host, int port);

// The routes of `settings` for a request to `host`:`port` over `scheme`, in
// the order to try them: each proxy as host:port, without scheme or
// credentials, port 80 when it names none; an empty entry for direct. The
// proxy string's entries for the scheme win over the entries for every
// scheme; a script's "DIRECT" is direct and its "PROXY" keyword is skipped;
// repeated entries count once, and only the first kMaxRoutes are kept (a
// script's answer is a peer's text). Never empty: no proxy, or a host the
// bypass list matches, gives direct alone. Automatic configuration plays no
// part.
std::vector<std::wstring> ChooseProxies(const ProxySettings& settings, const std::wstring& scheme,
                                        const std::wstring& host, int port);

// The current user's Internet settings; none when the platform gives none.
ProxySettings ReadProxySettings();

struct RouteTable;  // the kept routes, shared with the lookup thread

// The routes to the origins a client talks to. Each origin's route list is
// looked up once and kept for 30 minutes, or until all of it failed; a lookup that
// failed is not tried again for two minutes. Lookups run on a thread of
// their own, one at a time, and finish (and are kept) even when no caller
// waits for them any more. Any thread may call.
class RouteFinder {
 public:
  explicit RouteFinder(const ProxySettings& settings);
  ~RouteFinder();
  RouteFinder(const RouteFinder&) = delete;
  RouteFinder& operator=(const RouteFinder&) = delete;

  // Starts the lookup of the origin's route unless it is known, and returns
  // at once: an event that is set once the route is known (or the lookup
  // gave up), owned by the finder; null when there is nothing to wait for.
  // `wait_ms` gets how long a caller may still wait for it: what is left of
  // kRouteWaitMs since the origin's first lookup was asked for, 0 once that
  // has passed (so the route costs one such wait in the whole run).
  // A lookup asks the script about `path` (with its query) on the origin,
  // written as a browser writes the URL (no default port).
  HANDLE Prepare(bool secure, const std::wstring& host, int port, const std::wstring& path,
                 DWORD* wait_ms);

  // The proxy (host:port) for the origin, empty for direct. Waits for a
  // lookup as long as Prepare allows or until `cancel` is set, and takes
  // the named proxy without its answer (so a lookup that never ends costs
  // one wait of kRouteWaitMs in all, not one per request or lookup).
  std::wstring ProxyFor(bool secure, const std::wstring& host, int port, const std::wstring& path,
                        HANDLE cancel);

  // ProxyFor without waiting: the first entry of the kept answer's list (or
  // else of the named proxy's) that has not failed.
  std::wstring KnownProxy(bool secure, const std::wstring& host, int port);

  // A request through `proxy` (empty: direct) failed to connect or send:
  // the origin's next route serves, as a browser fails over. After the
  // list's last entry the kept answer is dropped, so the next request looks
  // it up again and starts over. A report about an entry no longer current
  // (another request's failure moved on already) changes nothing.
  void Failed(bool secure, const std::wstring& host, int port, const std::wstring& proxy);

  // How many lookups have started in this finder's life.
  uint32_t Lookups() const;

  const ProxySettings& settings() const { return settings_; }

 private:
  bool Automatic() const;
  std::vector<std::wstring> Fallback(bool secure, const std::wstring& host, int port) const;

  ProxySettings settings_;
  std::shared_ptr<RouteTable> table_;  // shared with the lookup thread
};
