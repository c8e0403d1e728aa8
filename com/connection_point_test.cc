// The connection point's cookies, order, references and enumerators.
#include "com/connection_point.h"

#include <gtest/gtest.h>

#include <vector>

namespace kiv::com {
namespace {

// Counts references; answers IUnknown and, when `dispatch`, IDispatch.
struct CountedSink final : IDispatch {
  explicit CountedSink(bool dispatchSink = true) : dispatch(dispatchSink) {}
  bool dispatch;
  ULONG refs = 1;
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || (dispatch && IsEqualIID(riid, IID_IDispatch))) {
      *ppv = this;
      ++refs;
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
};

struct Container final : IConnectionPointContainer {
  ULONG refs = 1;
  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  HRESULT EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  HRESULT FindConnectionPoint(REFIID, IConnectionPoint**) override { return E_NOTIMPL; }
};

TEST(ConnectionPointTest, AdviseUnadviseAndOrder) {
  Container container;
  CountedSink first, second, third, plain(false);
  {
    ConnectionPoint point(&container, IID_IDispatch);
    IID iid{};
    EXPECT_EQ(point.GetConnectionInterface(&iid), S_OK);
    EXPECT_TRUE(IsEqualIID(iid, IID_IDispatch));

    DWORD a = 0, b = 0, c = 0, refused = 7;
    EXPECT_EQ(point.Advise(&plain, &refused), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(refused, 0u);
    EXPECT_EQ(plain.refs, 1u);
    ASSERT_EQ(point.Advise(&first, &a), S_OK);
    ASSERT_EQ(point.Advise(&second, &b), S_OK);
    EXPECT_NE(a, 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(first.refs, 2u);

    EXPECT_EQ(point.Unadvise(a), S_OK);
    EXPECT_EQ(first.refs, 1u);
    EXPECT_EQ(point.Unadvise(a), CONNECT_E_NOCONNECTION);
    // A freed cookie is not handed out again.
    ASSERT_EQ(point.Advise(&first, &c), S_OK);
    EXPECT_NE(c, a);
    ASSERT_EQ(point.Advise(&third, &a), S_OK);

    // Connection order, and a sink may disconnect itself while being called.
    std::vector<IUnknown*> seen;
    point.ForEachSink([&](IUnknown* sink) {
      seen.push_back(sink);
      if (sink == static_cast<IUnknown*>(&second)) {
        EXPECT_EQ(point.Unadvise(b), S_OK);
      }
    });
    EXPECT_EQ(seen, (std::vector<IUnknown*>{&second, &first, &third}));
    EXPECT_EQ(point.SinkCount(), 2u);
    EXPECT_EQ(second.refs, 1u);

    // Handing out the connection point holds the container.
    IConnectionPoint* handed = nullptr;
    ASSERT_EQ(point.QueryInterface(IID_IConnectionPoint, reinterpret_cast<void**>(&handed)), S_OK);
    EXPECT_EQ(container.refs, 2u);
    handed->Release();
    EXPECT_EQ(container.refs, 1u);
  }
  // Destruction lets every sink go.
  EXPECT_EQ(first.refs, 1u);
  EXPECT_EQ(third.refs, 1u);
}

TEST(ConnectionPointTest, EnumeratorsAreSnapshotsHoldingReferences) {
  Container container;
  CountedSink first, second;
  ConnectionPoint point(&container, IID_IDispatch);
  DWORD a = 0, b = 0;
  ASSERT_EQ(point.Advise(&first, &a), S_OK);
  ASSERT_EQ(point.Advise(&second, &b), S_OK);

  IEnumConnections* connections = nullptr;
  ASSERT_EQ(point.EnumConnections(&connections), S_OK);
  EXPECT_EQ(point.Unadvise(a), S_OK);
  EXPECT_EQ(first.refs, 2u);  // the snapshot still holds it

  CONNECTDATA data[3] = {};
  ULONG fetched = 0;
  EXPECT_EQ(connections->Next(3, data, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(data[0].pUnk, &first);
  EXPECT_EQ(data[0].dwCookie, a);
  EXPECT_EQ(data[1].dwCookie, b);
  data[0].pUnk->Release();
  data[1].pUnk->Release();

  // Skipping exactly what is left succeeds; a clone keeps the position.
  IEnumConnections* clone = nullptr;
  EXPECT_EQ(connections->Reset(), S_OK);
  EXPECT_EQ(connections->Skip(2), S_OK);
  EXPECT_EQ(connections->Next(1, data, nullptr), S_FALSE);
  EXPECT_EQ(connections->Reset(), S_OK);
  EXPECT_EQ(connections->Skip(1), S_OK);
  ASSERT_EQ(connections->Clone(&clone), S_OK);
  EXPECT_EQ(clone->Next(1, data, nullptr), S_OK);
  EXPECT_EQ(data[0].pUnk, &second);
  data[0].pUnk->Release();
  EXPECT_EQ(clone->Skip(1), S_FALSE);
  clone->Release();
  connections->Release();
  EXPECT_EQ(first.refs, 1u);
  EXPECT_EQ(second.refs, 2u);

  IEnumConnectionPoints* points = nullptr;
  ASSERT_EQ(CreateConnectionPointEnum({&point}, &points), S_OK);
  EXPECT_EQ(container.refs, 2u);
  IConnectionPoint* found = nullptr;
  EXPECT_EQ(points->Next(1, &found, nullptr), S_OK);
  EXPECT_EQ(found, &point);
  found->Release();
  EXPECT_EQ(points->Next(1, &found, nullptr), S_FALSE);
  points->Release();
  EXPECT_EQ(container.refs, 1u);
}

}  // namespace
}  // namespace kiv::com
