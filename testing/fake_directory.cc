#include "testing/fake_directory.h"

#include <algorithm>

#include "kiv/kiv_exception.h"
#include "kiv/result_codes.h"
#include "kiv/utf8.h"
#include "kiv/vutil.h"
#include "support/net/net.h"
#include "testing/wait.h"

namespace kiv::testing {

namespace {

constexpr std::int32_t kUnknown = 1;

std::u16string Text(BSTR text) {
  return std::u16string(text != nullptr ? text : u"", SysStringLen(text));
}

std::u16string Lower(std::u16string text) {
  for (char16_t& unit : text) unit = unit >= u'A' && unit <= u'Z' ? unit - u'A' + u'a' : unit;
  return text;
}

// The [name, description] pairs in a registration record's services.
std::vector<std::pair<std::u16string, std::u16string>> ServicesOf(const VARIANT& record) {
  kiv::Variant services;
  VUtil::GetElement(record, 6, services.get());
  std::vector<std::pair<std::u16string, std::u16string>> list;
  if (services.vt() != (VT_ARRAY | VT_VARIANT)) return list;
  for (LONG i = 0; i < VUtil::GetArrayLength(*services); ++i) {
    kiv::Variant pair;
    VUtil::GetElement(*services, i, pair.get());
    if (pair.vt() != VT_EMPTY)
      list.emplace_back(VUtil::GetStringElement(*pair, 0), VUtil::GetStringElement(*pair, 1));
  }
  return list;
}

kiv::Variant ArrayOf(std::vector<kiv::Variant> elements) {
  kiv::Variant array;
  VUtil::CreateArray(*array, VT_VARIANT, static_cast<ULONG>(elements.size()));
  for (std::size_t i = 0; i < elements.size(); ++i) {
    VUtil::PutElement(*array, static_cast<LONG>(i), static_cast<void*>(elements[i].get()));
  }
  return array;
}

}  // namespace

kiv::Variant MakeServices(const std::vector<std::pair<std::u16string, std::u16string>>& services) {
  kiv::Variant value;
  KivCreateServices(value.get(), static_cast<std::int32_t>(services.size()));
  for (std::size_t i = 0; i < services.size(); ++i) {
    kiv::Bstr name(services[i].first);
    kiv::Bstr description(services[i].second);
    KivSetService(value.get(), static_cast<std::int32_t>(i), name.get(), description.get());
  }
  return value;
}

FakeDirectory::FakeDirectory(std::string directoryId) : id_(std::move(directoryId)) {
  if (KivCreate(&engine_, &FakeDirectory::OnRequest, nullptr, this) != 0) return;
  kiv::Bstr name(u"MainRegister");
  kiv::Variant services;
  kiv::Variant returnCode;
  KivRegister(engine_, "127.0.0.1", 0, name.get(), services.get(), returnCode.get());
  ok_ = returnCode.vt() == VT_I4 && returnCode->lVal == 0;
}

FakeDirectory::~FakeDirectory() {
  if (engine_ == nullptr) return;
  KivRemoveSatellite(engine_);
  KivDestroy(engine_);
}

void FakeDirectory::SetHandler(const std::u16string& request, Handler handler) {
  PScopedLock guard(&lock_);
  if (handler) {
    handlers_[request] = std::move(handler);
  } else {
    handlers_.erase(request);
  }
}

std::vector<DirectoryRequest> FakeDirectory::Requests() const {
  PScopedLock guard(&lock_);
  return requests_;
}

std::vector<DirectoryRequest> FakeDirectory::RequestsNamed(const std::u16string& name) const {
  std::vector<DirectoryRequest> named = Requests();
  std::erase_if(named, [&](const DirectoryRequest& r) { return r.name != name; });
  return named;
}

bool FakeDirectory::WaitForRequests(const std::u16string& name, std::size_t count,
                                    int timeoutMs) const {
  return WaitUntil([&] { return RequestsNamed(name).size() >= count; }, timeoutMs);
}

void FakeDirectory::ClearRequests() {
  PScopedLock guard(&lock_);
  requests_.clear();
}

std::optional<DirectoryEntry> FakeDirectory::FindSatellite(const std::u16string& name) const {
  PScopedLock guard(&lock_);
  for (const DirectoryEntry& entry : satellites_) {
    if (entry.name == name) return entry;
  }
  return std::nullopt;
}

std::int32_t FakeDirectory::PutSatellite(DirectoryEntry entry) {
  PScopedLock guard(&lock_);
  if (entry.id == 0) entry.id = nextId_;
  nextId_ = std::max(nextId_, entry.id + 1);
  const auto same = std::find_if(satellites_.begin(), satellites_.end(),
                                 [&](const DirectoryEntry& e) { return e.name == entry.name; });
  if (same != satellites_.end()) {
    *same = entry;
  } else {
    satellites_.push_back(entry);
  }
  return entry.id;
}

std::int32_t FakeDirectory::OnRequest(KIV*, void* context, int socket, BSTR caller, BSTR service,
                                      VARIANT argument, VARIANT* value, std::int32_t* returnCode) {
  auto* self = static_cast<FakeDirectory*>(context);
  const DirectoryRequest request{Text(caller), Text(service), kiv::Variant::CopyOf(argument),
                                 kiv::GetPeerAddress(socket)};
  Handler handler;
  {
    PScopedLock guard(&self->lock_);
    self->requests_.push_back(request);
    const auto found = self->handlers_.find(request.name);
    if (found != self->handlers_.end()) handler = found->second;
  }
  if (handler) return handler(request, value, returnCode);
  try {
    *returnCode = self->Answer(request, value);
  } catch (const KivException&) {  // a request of the wrong shape
    *returnCode = kUnknown;
  }
  return 0;
}

// The built-in answers; the return code.
std::int32_t FakeDirectory::Answer(const DirectoryRequest& request, VARIANT* value) {
  const VARIANT& argument = *request.argument;
  if (request.name == u"Register") {
    DirectoryEntry entry{static_cast<std::int32_t>(VUtil::GetLongElement(argument, 4)),
                         VUtil::GetStringElement(argument, 0),
                         VUtil::GetStringElement(argument, 1),
                         request.peer,
                         VUtil::GetUShortElement(argument, 2),
                         ServicesOf(argument)};
    if (entry.id == 0) entry.id = FindSatellite(entry.name).value_or(DirectoryEntry{}).id;
    const std::int32_t id = PutSatellite(std::move(entry));
    *value = ArrayOf({kiv::Variant::String(kiv::FromUtf8(id_)), kiv::Variant::I4(id)}).Detach();
    return 0;
  }
  PScopedLock guard(&lock_);
  if (request.name == u"UnRegister") {
    const auto withdrawn = ServicesOf(argument);
    for (DirectoryEntry& entry : satellites_) {
      if (entry.name != VUtil::GetStringElement(argument, 0)) continue;
      std::erase_if(entry.services, [&](const auto& offered) {
        return std::any_of(withdrawn.begin(), withdrawn.end(), [&](const auto& gone) {
          return Lower(gone.first) == Lower(offered.first);
        });
      });
      return 0;
    }
  } else if (request.name == u"RemoveSatellite") {
    const auto id = static_cast<std::int32_t>(VUtil::GetLongElement(argument, 4));
    if (std::erase_if(satellites_, [&](const auto& e) { return e.id == id; }) > 0) return 0;
  } else if (request.name == u"GetServiceReg") {
    const std::u16string destination = VUtil::GetStringElement(argument, 0);
    const std::u16string service = Lower(VUtil::GetStringElement(argument, 1));
    std::vector<kiv::Variant> entries;
    for (const DirectoryEntry& s : satellites_) {
      if (destination != u"ALL" && s.name != destination) continue;
      for (const auto& offered : s.services) {
        if (Lower(offered.first) != service) continue;
        const auto name = kiv::Variant::String(s.name);
        entries.push_back(
            ArrayOf({kiv::Variant::String(offered.first), name, name,
                     kiv::Variant::String(kiv::FromUtf8(s.host)), kiv::Variant::I4(s.port),
                     kiv::Variant::String(s.computer), kiv::Variant::I4(s.id)}));
      }
    }
    *value = ArrayOf(std::move(entries)).Detach();
    return 0;
  } else if (request.name == u"GetSatelliteHost" && request.argument.vt() == VT_BSTR) {
    for (const DirectoryEntry& s : satellites_) {
      if (s.name != Text(argument.bstrVal)) continue;
      *value =
          ArrayOf(
              {ArrayOf({kiv::Variant::String(kiv::FromUtf8(s.host)), kiv::Variant::I4(s.port)})})
              .Detach();
      return 0;
    }
    return kiv::KIV_RC_SATELLITE_UNAVAILABLE;
  }
  return kUnknown;
}

TestEngine::TestEngine(RequestHandler handler) : handler_(std::move(handler)) {
  KivCreate(&engine_, &TestEngine::OnRequest, &TestEngine::OnStatus, this);
}

TestEngine::~TestEngine() {
  if (engine_ == nullptr) return;
  if (!removed_) KivRemoveSatellite(engine_);
  KivDestroy(engine_);
}

void TestEngine::SetHandler(RequestHandler handler) {
  PScopedLock guard(&lock_);
  handler_ = std::move(handler);
}

std::int32_t TestEngine::Register(const std::u16string& name,
                                  const std::vector<std::u16string>& services,
                                  const char* directoryHost, std::int32_t port) {
  std::vector<std::pair<std::u16string, std::u16string>> described;
  for (const std::u16string& service : services) described.emplace_back(service, u"");
  kiv::Variant value = services.empty() ? kiv::Variant() : MakeServices(described);
  kiv::Bstr satelliteName(name);
  kiv::Variant returnCode;
  KivRegister(engine_, directoryHost, port, satelliteName.get(), value.get(), returnCode.get());
  return returnCode.vt() == VT_I4 ? returnCode->lVal : -1;
}

std::int32_t TestEngine::Remove() {
  removed_ = true;
  return KivRemoveSatellite(engine_);
}

std::vector<std::pair<std::int32_t, std::int32_t>> TestEngine::Statuses() const {
  PScopedLock guard(&lock_);
  return statuses_;
}

std::int32_t TestEngine::OnRequest(KIV*, void* context, int, BSTR caller, BSTR service,
                                   VARIANT argument, VARIANT* value, std::int32_t* returnCode) {
  auto* self = static_cast<TestEngine*>(context);
  RequestHandler handler;
  {
    PScopedLock guard(&self->lock_);
    handler = self->handler_;
  }
  if (handler) return handler(Text(caller), Text(service), argument, value, returnCode);
  *value = argument;  // handed over
  *returnCode = 0;
  return 0;
}

std::int32_t TestEngine::OnStatus(KIV*, void* context, std::int32_t satelliteId,
                                  std::int32_t status) {
  auto* self = static_cast<TestEngine*>(context);
  PScopedLock guard(&self->lock_);
  self->statuses_.emplace_back(satelliteId, status);
  return 0;
}

}  // namespace kiv::testing
