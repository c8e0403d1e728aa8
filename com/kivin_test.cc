// CKivIn's edges and refusals, through its vtable and IDispatch::Invoke; the
// normal path of an automation client is python_client_test.cc's.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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

using testing::EventRecorder;
using testing::RecordedEvent;

ComPtr<IKivIn> NewObject() {
  ComPtr<IKivIn> object;
  EXPECT_EQ(CreateKivInInstance(nullptr, IID_IKivIn, object.ReceiveVoid()), S_OK);
  return object;
}

template <class Interface>
ComPtr<Interface> Query(IUnknown* object, REFIID iid) {
  ComPtr<Interface> found;
  EXPECT_EQ(object->QueryInterface(iid, found.ReceiveVoid()), S_OK);
  return found;
}

// The text of a VT_BSTR value; empty for anything else.
std::u16string TextOf(const Variant& v) {
  return v.vt() == VT_BSTR ? std::u16string(v->bstrVal, SysStringLen(v->bstrVal)) : u"";
}

// A by-reference argument pointing at `target` of type `type`.
VARIANT Ref(void* target, VARTYPE type = VT_VARIANT) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BYREF | type;
  v.byref = target;
  return v;
}

TEST(KivInObject, AnswersItsInterfaces) {
  ComPtr<IKivIn> object = NewObject();
  ASSERT_TRUE(object);
  Query<IProvideClassInfo>(object.get(), IID_IProvideClassInfo);
  ComPtr<IUnknown> none;
  EXPECT_EQ(object->QueryInterface(IID_IClassFactory, none.ReceiveVoid()), E_NOINTERFACE);
  EXPECT_FALSE(none);
  const auto errors = Query<ISupportErrorInfo>(object.get(), IID_ISupportErrorInfo);
  EXPECT_EQ(errors->InterfaceSupportsErrorInfo(IID_IKivIn), S_OK);
  EXPECT_EQ(errors->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
  const auto classInfo = Query<IProvideClassInfo2>(object.get(), IID_IProvideClassInfo2);
  ComPtr<ITypeInfo> coclass;
  EXPECT_EQ(classInfo->GetClassInfo(coclass.Receive()), S_OK);
  EXPECT_TRUE(coclass);
  ComPtr<IConnectionPoint> point;
  EXPECT_EQ(Query<IConnectionPointContainer>(object.get(), IID_IConnectionPointContainer)
                ->FindConnectionPoint(IID_IDispatch, point.Receive()),
            CONNECT_E_NOCONNECTION);
}

TEST(KivInObject, BuildsServicesAndArrays) {
  ComPtr<IKivIn> object = NewObject();
  Variant services, number = Variant::I4(5);
  ASSERT_EQ(object->CreateServices(services.get(), 2), S_OK);
  Bstr sum(u"Sum");
  // Out of range, or no array to write into: refused, nothing written.
  EXPECT_EQ(object->SetService(services.get(), 2, sum.get(), sum.get()), E_INVALIDARG);
  EXPECT_EQ(object->SetService(number.get(), 0, sum.get(), sum.get()), E_INVALIDARG);
  EXPECT_EQ(number->lVal, 5);

  Variant array, read, element = Variant::String(u"two");
  ASSERT_EQ(object->VarArrayCreate(array.get(), 3), S_OK);
  EXPECT_EQ(object->VarArraySetElement(array.get(), 2, *element), S_OK);
  EXPECT_EQ(object->VarArrayGetElement(array.get(), 2, read.get()), S_OK);
  EXPECT_EQ(TextOf(read), u"two");
}

// Calls member `id` with the arguments given first to last.
HRESULT Invoke(IDispatch* object, DISPID id, std::vector<VARIANT> args, Variant& result,
               UINT* argErr = nullptr, WORD flags = DISPATCH_METHOD) {
  std::reverse(args.begin(), args.end());  // Invoke takes them last first
  DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
  return object->Invoke(id, IID_NULL, 0x400, flags, &params, result.get(), nullptr, argErr);
}

TEST(KivInDispatch, ArgumentsReachTheMethods) {
  ComPtr<IKivIn> object = NewObject();
  IKivIn* o = object.get();
  // Integers of other widths and a real without a fraction are accepted;
  // arrays that are only read or written through may come by value.
  Variant services, result, element, code;
  ASSERT_EQ(Invoke(o, kDispCreateServices, {Ref(services.get()), *Variant::I8(2)}, result), S_OK);
  Variant echo = Variant::String(u"Echo"), text = Variant::String(u"answers");
  ASSERT_EQ(Invoke(o, kDispSetService, {*services, *Variant::R8(1.0), *echo, *text}, result), S_OK);
  std::u16string key, value;
  VUtil::GetPair(*services, 1, key, value);
  EXPECT_EQ(key + u"/" + value, u"Echo/answers");
  ASSERT_EQ(Invoke(o, kDispVarArraySetElement, {*services, *Variant::I4(0), *text}, result), S_OK);
  ASSERT_EQ(
      Invoke(o, kDispVarArrayGetElement, {*services, *Variant::I4(0), Ref(element.get())}, result),
      S_OK);
  EXPECT_EQ(TextOf(element), u"answers");
  ASSERT_EQ(Invoke(o, kDispUnRegister, {*services, Ref(code.get())}, result), S_OK);
  // The method's own code comes back as the result, for indexes up to the
  // limits of a long.
  for (const LONGLONG index : {0x7FFFFFFFLL, -0x80000000LL}) {
    ASSERT_EQ(Invoke(o, kDispVarArrayGetElement,
                     {*services, *Variant::I8(index), Ref(element.get())}, result),
              S_OK);
    EXPECT_EQ(result->lVal, KIVIN_RC_NOT_AN_ARRAY);
  }

  // A method called as a property get (scripts without parentheses), and
  // through the type information.
  Variant user = Variant::String(u"u");
  ASSERT_EQ(Invoke(o, kDispAddUser, {*user}, result, nullptr, DISPATCH_PROPERTYGET), S_OK);
  EXPECT_EQ(result->lVal, -1);
  ComPtr<ITypeInfo> info;
  ASSERT_EQ(object->GetTypeInfo(0, 0x400, info.Receive()), S_OK);
  DISPPARAMS one{user.get(), nullptr, 1, 0};
  result = Variant::I4(0);
  ASSERT_EQ(info->Invoke(o, kDispRemoveUser, DISPATCH_METHOD, &one, result.get(), nullptr, nullptr),
            S_OK);
  EXPECT_EQ(result->lVal, -1);

  // After termination there is no id: only a written one changes the
  // caller's output.
  ASSERT_EQ(Invoke(o, kDispTerminateSatellite, {}, result), S_OK);
  LONG satId = 99;
  ASSERT_EQ(Invoke(o, kDispGetSatelliteId, {Ref(&satId, VT_I4)}, result), S_OK);
  EXPECT_EQ(result->lVal, 0);
  EXPECT_EQ(satId, 99);
  Variant idVariant = Variant::String(u"untouched");
  ASSERT_EQ(Invoke(o, kDispGetSatelliteId, {Ref(idVariant.get())}, result), S_OK);
  EXPECT_EQ(TextOf(idVariant), u"untouched");
}

TEST(KivInDispatch, RefusesBadArgumentsWithCodesAndRunsNothing) {
  ComPtr<IKivIn> object = NewObject();
  IKivIn* o = object.get();
  constexpr UINT kUntouched = 99;
  Variant services, number = Variant::I4(3), name = Variant::String(u"n"),
                    host = Variant::String(u"127.0.0.1");
  LONG status = 0;
  const VARIANT zero = *Variant::I4(0), one = *Variant::I4(1), two = *Variant::I4(2), n = *name,
                big = *Variant::I4(0x10000), svc = Ref(services.get()), num = Ref(number.get()),
                st = Ref(&status, VT_I4);
  const struct {
    DISPID id;
    std::vector<VARIANT> args;
    HRESULT refusal;
    UINT argErr;  // rgvarg index of the refused argument
    WORD flags = DISPATCH_METHOD;
  } cases[] = {
      {kDispCreateServices, {svc}, DISP_E_BADPARAMCOUNT, kUntouched},
      {kDispCreateServices, {svc, n}, DISP_E_TYPEMISMATCH, 0},
      // Outputs given by value cannot be written back.
      {kDispCreateServices, {zero, two}, DISP_E_TYPEMISMATCH, 1},
      {kDispVarArrayCreate, {zero, two}, DISP_E_TYPEMISMATCH, 1},
      {kDispVarArrayGetElement, {svc, zero, zero}, DISP_E_TYPEMISMATCH, 0},
      {kDispUnRegister, {svc, zero}, DISP_E_TYPEMISMATCH, 0},
      {kDispRequest, {n, n, zero, zero, zero, num}, DISP_E_TYPEMISMATCH, 2},
      {kDispRequest, {n, n, zero, num, zero, zero}, DISP_E_TYPEMISMATCH, 0},
      {kDispRegister, {*host, n, svc, zero}, DISP_E_TYPEMISMATCH, 0},
      {kDispDirectoryRegister, {*host, one, n, svc, zero}, DISP_E_TYPEMISMATCH, 0},
      {kDispCreateServices, {svc, *Variant::I8(0x80000000LL)}, DISP_E_OVERFLOW, 0},
      {kDispCreateServices, {svc, *Variant::I8(-0x80000001LL)}, DISP_E_OVERFLOW, 0},
      {kDispCreateServices, {svc, *Variant::R8(1.5)}, DISP_E_TYPEMISMATCH, 0},
      {kDispCreateServices, {Ref(nullptr), one}, E_POINTER, 1},
      {kDispSetService, {num, zero, n, n}, E_INVALIDARG, kUntouched},
      {kDispPingSatellite, {n, one, zero}, DISP_E_TYPEMISMATCH, 0},
      {kDispPingSatellite, {*number, one, st}, DISP_E_TYPEMISMATCH, 2},
      {kDispDirectoryPingSatellite, {n, n, big, one, st}, E_INVALIDARG, kUntouched},
      {kDispTerminateSatellite, {}, DISP_E_MEMBERNOTFOUND, kUntouched, DISPATCH_PROPERTYPUT},
  };
  Variant result = Variant::I4(12345);
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "row " << &c - cases);
    UINT argErr = kUntouched;
    EXPECT_EQ(Invoke(o, c.id, c.args, result, &argErr, c.flags), c.refusal);
    EXPECT_EQ(argErr, c.argErr);
  }
  // Refused before the arguments are looked at, even when there are none.
  DISPID named = 0;
  VARIANT arg = one;
  DISPPARAMS none{}, withNames{&arg, &named, 1, 1};
  const struct {
    DISPID id;
    const IID* iid;
    DISPPARAMS* params;
    HRESULT refusal;
  } calls[] = {
      {kDispTerminateSatellite, &IID_IKivIn, &none, DISP_E_UNKNOWNINTERFACE},
      {kDispTerminateSatellite, &IID_NULL, nullptr, E_POINTER},
      {0, &IID_NULL, nullptr, DISP_E_MEMBERNOTFOUND},
      {12, &IID_NULL, nullptr, DISP_E_MEMBERNOTFOUND},
      {20, &IID_NULL, nullptr, DISP_E_MEMBERNOTFOUND},
      {kDispAddUser, &IID_NULL, &withNames, DISP_E_NONAMEDARGS},
  };
  for (const auto& c : calls) {
    EXPECT_EQ(o->Invoke(c.id, *c.iid, 0x400, DISPATCH_METHOD, c.params, nullptr, nullptr, nullptr),
              c.refusal);
  }
  // The highest port is still tried (nobody answers there).
  Bstr bn(u"n"), loopback(u"127.0.0.1");
  KIVSTATUS pinged = KIV_UNKNOWN;
  EXPECT_NE(o->DirectoryPingSatellite(bn.get(), loopback.get(), 0xFFFF, 1, &pinged), E_INVALIDARG);
  // Refusals leave the result alone: nothing ran.
  EXPECT_EQ(result->lVal, 12345);
  EXPECT_EQ(status, 0);
}

// Registers `object` as `name` offering "Svc", at the directory's port when
// `port` is given; the directory's return code.
std::int32_t Register(IKivIn* object, const char16_t* name, LONG port = 0) {
  Bstr directory(u"127.0.0.1"), satName(name), service(u"Svc");
  Variant services, code;
  EXPECT_EQ(object->CreateServices(services.get(), 1), S_OK);
  EXPECT_EQ(object->SetService(services.get(), 0, service.get(), service.get()), S_OK);
  const HRESULT hr =
      port == 0 ? object->Register(directory.get(), satName.get(), services.get(), code.get())
                : object->DirectoryRegister(directory.get(), port, satName.get(), services.get(),
                                            code.get());
  EXPECT_EQ(hr, S_OK);
  return static_cast<std::int32_t>(VUtil::GetSingleRetcode(*code));
}

TEST(KivInEvents, StatusAndServiceRequested2ReachTheSinkUntilTermination) {
  kiv::testing::FakeDirectory directory;
  ASSERT_TRUE(directory.ok());
  ComPtr<IKivIn> server = NewObject(), caller = NewObject();
  ASSERT_EQ(Register(caller.get(), u"Caller"), 0);
  ComPtr<EventRecorder> sink =
      EventRecorder::Create([](const RecordedEvent& event, VARIANT* out, LONG* retCode) {
        VariantCopy(out, event.args[0].get());  // the socket it was given
        *retCode = 0;
      });
  ASSERT_NE(testing::Connect(server.get(), sink.get()), 0u);

  // No wait: the status event fires on the registering thread.
  ASSERT_EQ(Register(server.get(), u"Server", KIV_DIRECTORY_PORT), 0);
  const auto updates = sink->EventsWithId(kEventOnlineStatusUpdate);
  ASSERT_EQ(updates.size(), 1u);
  LONG satId = 0;
  ASSERT_EQ(server->GetSatelliteId(&satId), S_OK);
  EXPECT_GT(satId, 0);
  ASSERT_EQ(updates[0].args.size(), 2u);
  EXPECT_EQ(updates[0].args[0]->lVal, satId);

  // DirectoryRegister switches calls to ServiceRequested2.
  Bstr dest(u"Server"), service(u"Svc");
  Variant out, socket, statuses;
  ASSERT_EQ(caller->Request(dest.get(), service.get(), *Variant::I4(5), out.get(), KIV_NOFLAGS,
                            statuses.get()),
            S_OK);
  ASSERT_EQ(VUtil::GetLongElement(*statuses, 0), 0);
  VUtil::GetElement(*out, 0, socket.get());
  ASSERT_EQ(socket.vt(), VT_I4);
  EXPECT_GT(socket->lVal, 0);  // the connection's socket descriptor
  const auto calls = sink->EventsWithId(kEventServiceRequested2);
  ASSERT_EQ(calls.size(), 1u);
  ASSERT_EQ(calls[0].args.size(), 6u);
  EXPECT_EQ(TextOf(calls[0].args[1]), u"Caller");
  EXPECT_EQ(calls[0].args[3]->lVal, 5);
  EXPECT_TRUE(sink->EventsWithId(kEventServiceRequested).empty());

  // Termination tells the directory and is final; no event fires any more.
  const size_t events = sink->Events().size();
  ASSERT_EQ(server->TerminateSatellite(), S_OK);
  EXPECT_TRUE(directory.WaitForRequests(u"RemoveSatellite", 1, 5000));
  Variant services, code;
  EXPECT_EQ(server->UnRegister(services.get(), code.get()), KIVIN_RC_TERMINATED);
  KIVSTATUS status = KIV_DEAD;
  EXPECT_EQ(server->PingSatellite(dest.get(), 1, &status), KIVIN_RC_TERMINATED);
  EXPECT_EQ(status, KIV_DEAD);
  EXPECT_EQ(server->TerminateSatellite(), S_OK);
  EXPECT_EQ(sink->Events().size(), events);
}

}  // namespace
}  // namespace kiv::com
