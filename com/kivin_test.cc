// CKivIn through its vtable and through IDispatch::Invoke, with its events
// fired by real engines against a directory inside the test process.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "com/ckivin.h"
#include "com/kivin_codes.h"
#include "com/kivin_factory.h"
#include "kiv/result_codes.h"
#include "kiv/value.h"
#include "kiv/vutil.h"
#include "testing/event_recorder.h"
#include "testing/fake_directory.h"

namespace kiv::com {
namespace {

using testing::Connect;
using testing::Disconnect;
using testing::EventRecorder;
using testing::RecordedEvent;

constexpr int kWaitMs = 5000;

ComPtr<IKivIn> NewObject() {
  ComPtr<IKivIn> object;
  EXPECT_EQ(CreateKivInInstance(nullptr, IID_IKivIn, object.ReceiveVoid()), S_OK);
  return object;
}

Variant Services(std::initializer_list<const char16_t*> names) {
  Variant services;
  EXPECT_EQ(KivCreateServices(services.get(), static_cast<std::int32_t>(names.size())), 0);
  LONG i = 0;
  for (const char16_t* name : names) {
    Bstr n(name);
    Bstr d(u"test service");
    EXPECT_EQ(KivSetService(services.get(), i++, n.get(), d.get()), 0);
  }
  return services;
}

std::int32_t SingleCode(const Variant& code) {
  return static_cast<std::int32_t>(VUtil::GetSingleRetcode(*code));
}

// Registers `object` as `name` offering `services` with the test directory.
std::int32_t RegisterAs(IKivIn* object, const char16_t* name,
                        std::initializer_list<const char16_t*> services) {
  Bstr directory(u"127.0.0.1");
  Bstr satName(name);
  Variant list = Services(services);
  Variant code;
  EXPECT_EQ(object->Register(directory.get(), satName.get(), list.get(), code.get()), S_OK);
  return SingleCode(code);
}

struct CallOutcome {
  std::int32_t status = -1;
  Variant value;
};

// One call from `caller` to `service` on the satellite `destination`.
CallOutcome Call(IKivIn* caller, const char16_t* destination, const char16_t* service,
                 const Variant& in) {
  Bstr dest(destination);
  Bstr name(service);
  Variant out;
  Variant statuses;
  EXPECT_EQ(caller->Request(dest.get(), name.get(), *in, out.get(), KIV_NOFLAGS, statuses.get()),
            S_OK);
  CallOutcome outcome;
  outcome.status = static_cast<std::int32_t>(VUtil::GetLongElement(*statuses, 0));
  if ((out.vt() & VT_ARRAY) != 0) VUtil::GetElement(*out, 0, outcome.value.get());
  return outcome;
}

// The text of a VT_BSTR value; empty for anything else.
std::u16string TextOf(const Variant& v) {
  if (v.vt() != VT_BSTR) return u"";
  return std::u16string(v->bstrVal, SysStringLen(v->bstrVal));
}

// ---------------------------------------------------------------------------
// The object on its own.

// An outer object that aggregates KivIn and counts its own references.
class Outer final : public IUnknown {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown)) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    return inner_->QueryInterface(riid, ppv);
  }
  ULONG AddRef() override { return refs_.Add(); }
  ULONG Release() override { return refs_.Drop(); }
  ULONG refs() const { return refs_.Get(); }
  ComPtr<IUnknown> inner_;

 private:
  RefCount refs_;
};

TEST(KivInObject, AnswersItsInterfacesAndAggregates) {
  ComPtr<IKivIn> object = NewObject();
  ASSERT_TRUE(object);
  for (const IID* iid : {&IID_IDispatch, &IID_IConnectionPointContainer, &IID_IProvideClassInfo,
                         &IID_IProvideClassInfo2, &IID_ISupportErrorInfo, &IID_IUnknown}) {
    ComPtr<IUnknown> found;
    EXPECT_EQ(object->QueryInterface(*iid, found.ReceiveVoid()), S_OK);
  }
  ComPtr<IUnknown> none;
  EXPECT_EQ(object->QueryInterface(IID_IClassFactory, none.ReceiveVoid()), E_NOINTERFACE);
  EXPECT_FALSE(none);

  ComPtr<ISupportErrorInfo> errors;
  ASSERT_EQ(object->QueryInterface(IID_ISupportErrorInfo, errors.ReceiveVoid()), S_OK);
  EXPECT_EQ(errors->InterfaceSupportsErrorInfo(IID_IKivIn), S_OK);
  EXPECT_EQ(errors->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);

  ComPtr<IProvideClassInfo2> classInfo;
  ASSERT_EQ(object->QueryInterface(IID_IProvideClassInfo2, classInfo.ReceiveVoid()), S_OK);
  GUID source{};
  EXPECT_EQ(classInfo->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source), S_OK);
  EXPECT_EQ(source, DIID__IKivInEvents);
  EXPECT_EQ(classInfo->GetGUID(7, &source), E_INVALIDARG);
  ComPtr<ITypeInfo> coclass;
  EXPECT_EQ(classInfo->GetClassInfo(coclass.Receive()), S_OK);
  EXPECT_TRUE(coclass);

  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(object->QueryInterface(IID_IConnectionPointContainer, container.ReceiveVoid()), S_OK);
  ComPtr<IConnectionPoint> point;
  EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, point.Receive()), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(container->FindConnectionPoint(DIID__IKivInEvents, point.Receive()), S_OK);
  IID iid{};
  EXPECT_EQ(point->GetConnectionInterface(&iid), S_OK);
  EXPECT_EQ(iid, DIID__IKivInEvents);

  // Aggregated: interfaces count references on the outer object, and only
  // IID_IUnknown may be asked for at creation.
  Outer outer;
  void* refused = &outer;
  EXPECT_EQ(CreateKivInInstance(&outer, IID_IKivIn, &refused), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(refused, nullptr);
  ASSERT_EQ(CreateKivInInstance(&outer, IID_IUnknown, outer.inner_.ReceiveVoid()), S_OK);
  {
    ComPtr<IKivIn> viaOuter;
    ASSERT_EQ(outer.QueryInterface(IID_IKivIn, viaOuter.ReceiveVoid()), S_OK);
    EXPECT_EQ(outer.refs(), 1u);
    ComPtr<IUnknown> identity;
    ASSERT_EQ(viaOuter->QueryInterface(IID_IUnknown, identity.ReceiveVoid()), S_OK);
    EXPECT_EQ(identity.get(), static_cast<IUnknown*>(&outer));
  }
  EXPECT_EQ(outer.refs(), 0u);
  outer.inner_.Reset();
}

TEST(KivInObject, BuildsServicesAndArrays) {
  ComPtr<IKivIn> object = NewObject();
  Variant services;
  ASSERT_EQ(object->CreateServices(services.get(), 2), S_OK);
  Bstr echo(u"Echo"), echoText(u"answers"), sum(u"Sum"), sumText(u"adds");
  EXPECT_EQ(object->SetService(services.get(), 0, echo.get(), echoText.get()), S_OK);
  EXPECT_EQ(object->SetService(services.get(), 1, sum.get(), sumText.get()), S_OK);
  std::u16string key, value;
  VUtil::GetPair(*services, 1, key, value);
  EXPECT_EQ(key, u"Sum");
  EXPECT_EQ(value, u"adds");
  // Out of range, or no array to write into: refused, nothing written.
  EXPECT_EQ(object->SetService(services.get(), 2, sum.get(), sumText.get()), E_INVALIDARG);
  Variant number = Variant::I4(5);
  EXPECT_EQ(object->SetService(number.get(), 0, sum.get(), sumText.get()), E_INVALIDARG);
  EXPECT_EQ(number->lVal, 5);

  Variant array;
  ASSERT_EQ(object->VarArrayCreate(array.get(), 3), S_OK);
  EXPECT_EQ(array.vt(), VT_ARRAY | VT_VARIANT);
  EXPECT_EQ(VUtil::GetArrayLength(*array), 3);
  Variant element = Variant::String(u"two");
  EXPECT_EQ(object->VarArraySetElement(array.get(), 2, *element), S_OK);
  Variant read;
  EXPECT_EQ(object->VarArrayGetElement(array.get(), 2, read.get()), S_OK);
  EXPECT_EQ(TextOf(read), u"two");
  // Index equal to the upper bound works; one more, or -1, does not.
  EXPECT_EQ(object->VarArrayGetElement(array.get(), 3, read.get()), KIVIN_RC_NOT_AN_ARRAY);
  EXPECT_EQ(object->VarArrayGetElement(array.get(), -1, read.get()), KIVIN_RC_NOT_AN_ARRAY);
  EXPECT_EQ(object->VarArraySetElement(array.get(), 3, *element), KIVIN_RC_NOT_AN_ARRAY);
  EXPECT_EQ(object->VarArrayGetElement(number.get(), 0, read.get()), KIVIN_RC_NOT_AN_ARRAY);
  EXPECT_EQ(object->VarArrayGetElement(nullptr, 0, read.get()), KIVIN_RC_NOT_AN_ARRAY);
  // An array held by reference is refused rather than followed.
  VARIANT byRef;
  VariantInit(&byRef);
  byRef.vt = VT_BYREF | VT_ARRAY | VT_VARIANT;
  byRef.pparray = &array->parray;
  EXPECT_EQ(object->VarArrayGetElement(&byRef, 0, read.get()), KIVIN_RC_NOT_AN_ARRAY);

  // Typed arrays: elements of the array's own type only.
  Variant longs = Variant::Adopt(SafeArrayCreateVector(VT_I4, 0, 2), VT_I4);
  EXPECT_EQ(object->VarArraySetElement(longs.get(), 1, *Variant::I4(42)), S_OK);
  EXPECT_EQ(object->VarArraySetElement(longs.get(), 0, *element), KIVIN_RC_ELEMENT_FAILED);
  EXPECT_EQ(object->VarArrayGetElement(longs.get(), 1, read.get()), S_OK);
  EXPECT_EQ(read.vt(), VT_I4);
  EXPECT_EQ(read->lVal, 42);

  Variant empty;
  EXPECT_EQ(object->VarArrayCreate(empty.get(), 0), S_OK);
  EXPECT_EQ(VUtil::GetArrayLength(*empty), 0);
  Variant failed;
  EXPECT_EQ(object->VarArrayCreate(failed.get(), -1), KIVIN_RC_NO_ARRAY);
  EXPECT_EQ(failed.vt(), VT_ARRAY | VT_VARIANT);
  EXPECT_EQ(failed->parray, nullptr);

  Bstr user(u"someone");
  EXPECT_EQ(object->AddUser(user.get()), static_cast<HRESULT>(0xFFFFFFFF));
  EXPECT_EQ(object->RemoveUser(user.get()), static_cast<HRESULT>(0xFFFFFFFF));
  EXPECT_EQ(object->SetLog(nullptr), S_OK);
}

TEST(KivInObject, RefusesMissingOutputs) {
  ComPtr<IKivIn> object = NewObject();
  Bstr name(u"x");
  Variant value;
  KIVSTATUS status = KIV_UNKNOWN;
  EXPECT_EQ(object->CreateServices(nullptr, 1), E_POINTER);
  EXPECT_EQ(object->SetService(nullptr, 0, name.get(), name.get()), E_POINTER);
  EXPECT_EQ(object->VarArrayCreate(nullptr, 1), E_POINTER);
  EXPECT_EQ(object->Register(name.get(), name.get(), value.get(), nullptr), E_POINTER);
  EXPECT_EQ(object->Register(name.get(), name.get(), nullptr, value.get()), E_POINTER);
  EXPECT_EQ(object->DirectoryRegister(name.get(), 1, name.get(), value.get(), nullptr), E_POINTER);
  EXPECT_EQ(object->UnRegister(nullptr, value.get()), E_POINTER);
  EXPECT_EQ(object->Request(name.get(), name.get(), *value, nullptr, KIV_NOFLAGS, value.get()),
            E_POINTER);
  EXPECT_EQ(object->GetSatelliteId(nullptr), E_POINTER);
  EXPECT_EQ(object->PingSatellite(name.get(), 1, nullptr), E_POINTER);
  EXPECT_EQ(object->DirectoryPingSatellite(name.get(), name.get(), 1, 1, nullptr), E_POINTER);
  EXPECT_EQ(object->DirectoryPingSatellite(name.get(), name.get(), 70000, 1, &status),
            E_INVALIDARG);
}

// ---------------------------------------------------------------------------
// IDispatch.

class Args {
 public:
  // Arguments given first to last; stored last first, as Invoke takes them.
  explicit Args(std::vector<VARIANT> inOrder) : rgvarg_(inOrder.rbegin(), inOrder.rend()) {
    params_ = DISPPARAMS{rgvarg_.data(), nullptr, static_cast<UINT>(rgvarg_.size()), 0};
  }
  DISPPARAMS* get() { return &params_; }

 private:
  std::vector<VARIANT> rgvarg_;
  DISPPARAMS params_;
};

VARIANT Ref(VARIANT* target) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BYREF | VT_VARIANT;
  v.pvarVal = target;
  return v;
}

VARIANT RefLong(LONG* target) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BYREF | VT_I4;
  v.plVal = target;
  return v;
}

HRESULT Invoke(IDispatch* object, DISPID id, Args& args, Variant* result = nullptr,
               UINT* argErr = nullptr, WORD flags = DISPATCH_METHOD) {
  return object->Invoke(id, IID_NULL, 0x400, flags, args.get(),
                        result != nullptr ? result->get() : nullptr, nullptr, argErr);
}

TEST(KivInDispatch, NamesAndArgumentsReachTheMethods) {
  ComPtr<IKivIn> object = NewObject();
  std::array<const char16_t*, 3> names = {u"SetService", u"Register", u"VarArrayGetElement"};
  std::array<DISPID, 3> expected = {kDispSetService, kDispRegister, kDispVarArrayGetElement};
  for (std::size_t i = 0; i < names.size(); ++i) {
    LPOLESTR name = const_cast<LPOLESTR>(names[i]);
    DISPID id = 0;
    EXPECT_EQ(object->GetIDsOfNames(IID_NULL, &name, 1, 0x400, &id), S_OK);
    EXPECT_EQ(id, expected[i]);
  }
  LPOLESTR unknown = const_cast<LPOLESTR>(u"NoSuchMethod");
  DISPID id = 0;
  EXPECT_EQ(object->GetIDsOfNames(IID_NULL, &unknown, 1, 0x400, &id), DISP_E_UNKNOWNNAME);

  // CreateServices(services, 2); SetService(services, 1, "Echo", "answers")
  Variant services;
  Args create({Ref(services.get()), *Variant::I4(2)});
  Variant result;
  ASSERT_EQ(Invoke(object.get(), kDispCreateServices, create, &result), S_OK);
  EXPECT_EQ(result.vt(), VT_I4);
  EXPECT_EQ(result->lVal, 0);
  Variant echo = Variant::String(u"Echo");
  Variant text = Variant::String(u"answers");
  // Integers of other widths and a real without a fraction are accepted.
  VARIANT index;
  VariantInit(&index);
  index.vt = VT_R8;
  index.dblVal = 1.0;
  Args set({Ref(services.get()), index, *echo, *text});
  ASSERT_EQ(Invoke(object.get(), kDispSetService, set, &result), S_OK);
  std::u16string key, value;
  VUtil::GetPair(*services, 1, key, value);
  EXPECT_EQ(key, u"Echo");
  EXPECT_EQ(value, u"answers");

  // VarArrayGetElement(services, 1, element) through a VT_BYREF|VT_VARIANT.
  Variant element;
  Args get({Ref(services.get()), *Variant::I4(1), Ref(element.get())});
  ASSERT_EQ(Invoke(object.get(), kDispVarArrayGetElement, get, &result), S_OK);
  EXPECT_EQ(element.vt(), VT_ARRAY | VT_VARIANT);
  // ... and the method's own code comes back as the result.
  Args outOfRange({Ref(services.get()), *Variant::I4(5), Ref(element.get())});
  ASSERT_EQ(Invoke(object.get(), kDispVarArrayGetElement, outOfRange, &result), S_OK);
  EXPECT_EQ(result->lVal, KIVIN_RC_NOT_AN_ARRAY);

  // A method called as a property get (scripts without parentheses).
  Args none({});
  Variant user = Variant::String(u"u");
  Args add({*user});
  ASSERT_EQ(Invoke(object.get(), kDispAddUser, add, &result, nullptr, DISPATCH_PROPERTYGET), S_OK);
  EXPECT_EQ(result->lVal, -1);

  // GetSatelliteId before registration: the engine has no id yet.
  LONG satId = 99;
  Args idArgs({RefLong(&satId)});
  ASSERT_EQ(Invoke(object.get(), kDispGetSatelliteId, idArgs, &result), S_OK);
  EXPECT_EQ(result->lVal, 0);

  ASSERT_EQ(Invoke(object.get(), kDispTerminateSatellite, none, &result), S_OK);
  EXPECT_EQ(result->lVal, 0);
  // Terminated: the id stays as the caller had it, in a VARIANT too.
  satId = 99;
  ASSERT_EQ(Invoke(object.get(), kDispGetSatelliteId, idArgs, &result), S_OK);
  EXPECT_EQ(satId, 99);
  Variant idVariant = Variant::String(u"untouched");
  Args idInVariant({Ref(idVariant.get())});
  ASSERT_EQ(Invoke(object.get(), kDispGetSatelliteId, idInVariant, &result), S_OK);
  EXPECT_EQ(TextOf(idVariant), u"untouched");
}

TEST(KivInDispatch, RefusesBadArgumentsWithCodes) {
  ComPtr<IKivIn> object = NewObject();
  Variant services;
  Variant result = Variant::I4(12345);
  UINT argErr = 99;

  Args one({Ref(services.get())});
  EXPECT_EQ(Invoke(object.get(), kDispCreateServices, one, &result), DISP_E_BADPARAMCOUNT);
  // The count by value cannot be a string; the error names rgvarg index 0.
  Variant notANumber = Variant::String(u"two");
  Args mismatch({Ref(services.get()), *notANumber});
  EXPECT_EQ(Invoke(object.get(), kDispCreateServices, mismatch, &result, &argErr),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argErr, 0u);
  // An output given by value cannot be written back: rgvarg index 1.
  Args byValue({*Variant::I4(1), *Variant::I4(2)});
  EXPECT_EQ(Invoke(object.get(), kDispCreateServices, byValue, &result, &argErr),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argErr, 1u);
  Args overflow({Ref(services.get()), *Variant::I8(1LL << 40)});
  EXPECT_EQ(Invoke(object.get(), kDispCreateServices, overflow, &result), DISP_E_OVERFLOW);
  Args fraction({Ref(services.get()), *Variant::R8(1.5)});
  EXPECT_EQ(Invoke(object.get(), kDispCreateServices, fraction, &result), DISP_E_TYPEMISMATCH);
  Args nullRef({Ref(nullptr), *Variant::I4(1)});
  EXPECT_EQ(Invoke(object.get(), kDispCreateServices, nullRef, &result), E_POINTER);
  // SetService into something that holds no array.
  Variant number = Variant::I4(3);
  Variant name = Variant::String(u"n");
  Args noArray({Ref(number.get()), *Variant::I4(0), *name, *name});
  EXPECT_EQ(Invoke(object.get(), kDispSetService, noArray, &result), E_INVALIDARG);
  // A status output must be an integer or a variant by reference.
  Args badStatus({*name, *Variant::I4(1), *Variant::I4(0)});
  EXPECT_EQ(Invoke(object.get(), kDispPingSatellite, badStatus, &result), DISP_E_TYPEMISMATCH);

  Args none({});
  EXPECT_EQ(Invoke(object.get(), 12, none, &result), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(Invoke(object.get(), 100, none, &result), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(
      Invoke(object.get(), kDispTerminateSatellite, none, &result, nullptr, DISPATCH_PROPERTYPUT),
      DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(object->Invoke(kDispTerminateSatellite, IID_IKivIn, 0x400, DISPATCH_METHOD, none.get(),
                           nullptr, nullptr, nullptr),
            DISP_E_UNKNOWNINTERFACE);
  EXPECT_EQ(object->Invoke(kDispTerminateSatellite, IID_NULL, 0x400, DISPATCH_METHOD, nullptr,
                           nullptr, nullptr, nullptr),
            E_POINTER);
  DISPID named = 0;
  VARIANT arg = *Variant::I4(1);
  DISPPARAMS withNames{&arg, &named, 1, 1};
  EXPECT_EQ(object->Invoke(kDispAddUser, IID_NULL, 0x400, DISPATCH_METHOD, &withNames, nullptr,
                           nullptr, nullptr),
            DISP_E_NONAMEDARGS);
  // Refusals leave the result alone: nothing ran.
  EXPECT_EQ(result->lVal, 12345);
}

// ---------------------------------------------------------------------------
// Events, with a directory in the test process.

class KivInEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(directory_.ok());
    server_ = NewObject();
    caller_ = NewObject();
    ASSERT_TRUE(server_ && caller_);
    ASSERT_EQ(RegisterAs(caller_.get(), u"Caller", {}), 0);
  }
  void TearDown() override {
    if (server_) server_->TerminateSatellite();
    if (caller_) caller_->TerminateSatellite();
  }

  kiv::testing::FakeDirectory directory_;
  ComPtr<IKivIn> server_;
  ComPtr<IKivIn> caller_;
};

TEST_F(KivInEvents, EverySinkSeesTheCallAndTheLastRetCodeWins) {
  ASSERT_EQ(RegisterAs(server_.get(), u"Server", {u"Svc"}), 0);

  // No sink: an empty answer with code 0.
  CallOutcome unanswered = Call(caller_.get(), u"Server", u"Svc", Variant::I4(1));
  EXPECT_EQ(unanswered.status, 0);
  EXPECT_EQ(unanswered.value.vt(), VT_EMPTY);

  auto answer = [](LONG code, const char16_t* text) {
    return [code, text](const RecordedEvent&, VARIANT* out, LONG* retCode) {
      VariantCopy(out, Variant::String(text).get());
      *retCode = code;
    };
  };
  ComPtr<EventRecorder> first = EventRecorder::Create(answer(7, u"first"));
  const DWORD firstCookie = Connect(server_.get(), first.get());
  ASSERT_NE(firstCookie, 0u);
  CallOutcome one = Call(caller_.get(), u"Server", u"Svc", Variant::String(u"ping"));
  EXPECT_EQ(one.status, 7);
  EXPECT_EQ(TextOf(one.value), u"first");
  const auto seen = first->EventsWithId(kEventServiceRequested);
  ASSERT_EQ(seen.size(), 1u);
  ASSERT_EQ(seen[0].args.size(), 5u);
  EXPECT_EQ(TextOf(seen[0].args[0]), u"Caller");
  EXPECT_EQ(TextOf(seen[0].args[1]), u"Svc");
  EXPECT_EQ(TextOf(seen[0].args[2]), u"ping");

  ComPtr<EventRecorder> second = EventRecorder::Create(answer(9, u"second"));
  ASSERT_NE(Connect(server_.get(), second.get()), 0u);
  CallOutcome two = Call(caller_.get(), u"Server", u"Svc", Variant::I4(2));
  EXPECT_EQ(two.status, 9);
  EXPECT_EQ(TextOf(two.value), u"second");
  EXPECT_EQ(first->EventsWithId(kEventServiceRequested).size(), 2u);
  EXPECT_EQ(second->EventsWithId(kEventServiceRequested).size(), 1u);

  // The first one gone, the second one alone answers.
  EXPECT_EQ(Disconnect(server_.get(), firstCookie), S_OK);
  second->SetHandler(answer(11, u"alone"));
  EXPECT_EQ(Call(caller_.get(), u"Server", u"Svc", Variant::I4(3)).status, 11);
  EXPECT_EQ(first->EventsWithId(kEventServiceRequested).size(), 2u);
}

TEST_F(KivInEvents, DirectoryRegisterSwitchesToServiceRequested2ForGood) {
  ComPtr<EventRecorder> sink =
      EventRecorder::Create([](const RecordedEvent& event, VARIANT* out, LONG* retCode) {
        // Answers the socket it was given, so the caller can see it.
        VariantCopy(out, event.args[0].get());
        *retCode = 0;
      });
  ASSERT_NE(Connect(server_.get(), sink.get()), 0u);
  Bstr directory(u"127.0.0.1"), name(u"Server");
  Variant services = Services({u"Svc"});
  Variant code;
  ASSERT_EQ(server_->DirectoryRegister(directory.get(), KIV_DIRECTORY_PORT, name.get(),
                                       services.get(), code.get()),
            S_OK);
  ASSERT_EQ(SingleCode(code), 0);
  CallOutcome outcome = Call(caller_.get(), u"Server", u"Svc", Variant::I4(5));
  EXPECT_EQ(outcome.status, 0);
  ASSERT_EQ(outcome.value.vt(), VT_I4);
  EXPECT_GT(outcome.value->lVal, 0);  // the connection's socket descriptor
  auto events = sink->EventsWithId(kEventServiceRequested2);
  ASSERT_EQ(events.size(), 1u);
  ASSERT_EQ(events[0].args.size(), 6u);
  EXPECT_EQ(TextOf(events[0].args[1]), u"Caller");
  EXPECT_EQ(events[0].args[3]->lVal, 5);

  // A later plain Register keeps the second form.
  ASSERT_EQ(RegisterAs(server_.get(), u"Server", {u"Svc"}), 0);
  Call(caller_.get(), u"Server", u"Svc", Variant::I4(6));
  EXPECT_EQ(sink->EventsWithId(kEventServiceRequested2).size(), 2u);
  EXPECT_TRUE(sink->EventsWithId(kEventServiceRequested).empty());
}

TEST_F(KivInEvents, FaultingHandlerIsAnsweredWithTheCrashCode) {
#if defined(__SANITIZE_ADDRESS__)
  // That build also checks for undefined behaviour and stops at the null load.
  GTEST_SKIP() << "UBSan aborts on the null dereference before it can fault";
#endif
  // The dump goes to a folder of the test's own.
  const std::filesystem::path data =
      std::filesystem::temp_directory_path() / ("kivin_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(data);
  ::setenv("KIV_DATA_DIR", data.c_str(), 1);

  ASSERT_EQ(RegisterAs(server_.get(), u"Server", {u"Svc"}), 0);
  ComPtr<EventRecorder> sink =
      EventRecorder::Create([](const RecordedEvent& event, VARIANT*, LONG* retCode) {
        if (event.args[2]->lVal == 1) {
          volatile int* nowhere = nullptr;
          *retCode = *nowhere;
        }
        *retCode = 3;
      });
  ASSERT_NE(Connect(server_.get(), sink.get()), 0u);
  EXPECT_EQ(Call(caller_.get(), u"Server", u"Svc", Variant::I4(1)).status,
            KIVIN_RC_HANDLER_CRASHED);
  // The process lives on and the next call is served.
  EXPECT_EQ(Call(caller_.get(), u"Server", u"Svc", Variant::I4(2)).status, 3);
  bool dumped = false;
  for (const auto& entry : std::filesystem::directory_iterator(data / "ZibNetworks" / "Logs")) {
    dumped = dumped || entry.path().extension() == ".dmp";
  }
  EXPECT_TRUE(dumped);
  ::unsetenv("KIV_DATA_DIR");
  std::filesystem::remove_all(data);
}

TEST_F(KivInEvents, RegisterReportsAliveBeforeReturningAndTerminateIsFinal) {
  ComPtr<EventRecorder> sink = EventRecorder::Create();
  ASSERT_NE(Connect(server_.get(), sink.get()), 0u);
  ASSERT_EQ(RegisterAs(server_.get(), u"Server", {u"Svc"}), 0);
  // No wait: the status event fires on the registering thread.
  const auto updates = sink->EventsWithId(kEventOnlineStatusUpdate);
  ASSERT_EQ(updates.size(), 1u);
  LONG satId = 0;
  ASSERT_EQ(server_->GetSatelliteId(&satId), S_OK);
  EXPECT_GT(satId, 0);
  ASSERT_EQ(updates[0].args.size(), 2u);
  EXPECT_EQ(updates[0].args[0]->lVal, satId);
  EXPECT_EQ(updates[0].args[1]->lVal, KIV_ALIVE);

  ASSERT_EQ(server_->TerminateSatellite(), S_OK);
  // The directory has forgotten it, so nothing reaches the object any more.
  EXPECT_TRUE(directory_.WaitForRequests(u"RemoveSatellite", 1, kWaitMs));
  EXPECT_NE(Call(caller_.get(), u"Server", u"Svc", Variant::I4(1)).status, 0);

  Bstr name(u"Server"), directory(u"127.0.0.1");
  Variant services = Services({u"Svc"});
  Variant code, out;
  EXPECT_EQ(server_->Register(directory.get(), name.get(), services.get(), code.get()),
            KIVIN_RC_TERMINATED);
  EXPECT_EQ(
      server_->Request(name.get(), name.get(), *Variant::I4(1), out.get(), KIV_NOFLAGS, code.get()),
      KIVIN_RC_TERMINATED);
  EXPECT_EQ(server_->UnRegister(services.get(), code.get()), KIVIN_RC_TERMINATED);
  KIVSTATUS status = KIV_DEAD;
  EXPECT_EQ(server_->PingSatellite(name.get(), 1, &status), KIVIN_RC_TERMINATED);
  EXPECT_EQ(status, KIV_DEAD);
  LONG after = -5;
  EXPECT_EQ(server_->GetSatelliteId(&after), S_OK);
  EXPECT_EQ(after, -5);
  EXPECT_EQ(server_->TerminateSatellite(), S_OK);
  // Only the registration's own status event ever fired.
  EXPECT_EQ(sink->Events().size(), 1u);
}

}  // namespace
}  // namespace kiv::com
