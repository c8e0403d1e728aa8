#include <cstdlib>
#include <cstring>

#include "discovery/discover_client.h"
#include "kiv/discover.h"

// The one field of KivDiscover points here: a shared reference to the
// process's client, held on the heap so the exported layout stays one pointer.
struct KivDiscoverHandle {
  boost::shared_ptr<KivDiscoverClient> client;
};

KivDiscover::KivDiscover() : handle_(new KivDiscoverHandle{GetDiscoverClient()}) {
  handle_->client->AddListener(this);
}

KivDiscover::KivDiscover(const KivDiscover& other)
    : handle_(new KivDiscoverHandle{other.handle_->client}) {
  handle_->client->AddListener(this);
}

KivDiscover& KivDiscover::operator=(const KivDiscover& other) {
  // Both already hold the one process client; each keeps its own reference
  // and registration, so there is nothing to hand over.
  if (this != &other && handle_->client != other.handle_->client) {
    handle_->client->RemoveListener(this);
    handle_->client = other.handle_->client;
    handle_->client->AddListener(this);
  }
  return *this;
}

KivDiscover::~KivDiscover() {
  handle_->client->RemoveListener(this);
  delete handle_;  // may be the last reference: stops the client
}

const char* KivDiscover::getHostname(const char* serverId) {
  const std::string host = handle_->client->GetDirectoryHost(serverId == nullptr ? "" : serverId);
  if (host.empty()) return nullptr;
  char* copy = static_cast<char*>(std::malloc(host.size() + 1));
  if (copy != nullptr) std::memcpy(copy, host.c_str(), host.size() + 1);
  return copy;
}

int KivDiscover::OnKivDirectoryUp(const char*, const char* const*, unsigned) {
  return 0;
}

int KivDiscover::OnKivDirectoryDown(const char*, const char* const*, unsigned, bool) {
  return 0;
}

int KivDiscover::OnAddUser(const char*, const char* const*, unsigned) {
  return 0;
}

int KivDiscover::OnRemoveUser(const char*, const char* const*, unsigned) {
  return 0;
}
