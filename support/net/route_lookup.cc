// Best-interface lookup over rtnetlink.
//
// Why netlink and not a connected UDP socket: connect() on a UDP socket only
// reveals the chosen source address, which must then be matched to an
// interface (ambiguous when two interfaces share an address), and it cannot
// answer for 0.0.0.0, which the system treats as "this host" and routes to
// loopback. RTM_GETROUTE asks the kernel's own lookup (policy rules
// included) for an ordinary destination, and a dump of the routes finds the
// default route itself.
#include "support/net/route_lookup.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "support/net/net_internal.h"

namespace kiv::net_internal {
namespace {

// Bounds the wait for the kernel's answer, which should never be slow.
constexpr int kReplyTimeoutMs = 2000;
constexpr std::size_t kReplyCapacity = 32768;

// A route request with room for one RTA_DST attribute holding an IPv4 address.
struct RouteRequest {
  nlmsghdr header;
  rtmsg route;
  rtattr destinationAttribute;
  std::uint32_t destination;
};
static_assert(offsetof(RouteRequest, route) == NLMSG_HDRLEN);
static_assert(offsetof(RouteRequest, destinationAttribute) == NLMSG_LENGTH(sizeof(rtmsg)));
static_assert(offsetof(RouteRequest, destination) ==
              offsetof(RouteRequest, destinationAttribute) + RTA_LENGTH(0));

struct Route {
  int interfaceIndex = 0;
  std::uint32_t table = 0;
  std::uint32_t metric = 0;
};

Route ReadRoute(const nlmsghdr* message) {
  const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(message));
  Route result;
  result.table = route->rtm_table;
  int length = static_cast<int>(message->nlmsg_len) - static_cast<int>(NLMSG_LENGTH(sizeof *route));
  for (const rtattr* attribute = RTM_RTA(route); RTA_OK(attribute, length);
       attribute = RTA_NEXT(attribute, length)) {
    const void* data = RTA_DATA(attribute);
    const std::size_t size = RTA_PAYLOAD(attribute);
    switch (attribute->rta_type) {
      case RTA_OIF:
        if (size >= sizeof(std::uint32_t)) std::memcpy(&result.interfaceIndex, data, sizeof(int));
        break;
      case RTA_TABLE:
        if (size >= sizeof(std::uint32_t)) std::memcpy(&result.table, data, sizeof(std::uint32_t));
        break;
      case RTA_PRIORITY:
        if (size >= sizeof(std::uint32_t)) std::memcpy(&result.metric, data, sizeof(std::uint32_t));
        break;
      case RTA_MULTIPATH:
        // A route over several next hops: the first one's interface.
        if (result.interfaceIndex == 0 && size >= sizeof(rtnexthop)) {
          result.interfaceIndex = static_cast<const rtnexthop*>(data)->rtnh_ifindex;
        }
        break;
      default:
        break;
    }
  }
  return result;
}

bool IsDefaultRoute(const nlmsghdr* message, const Route& route) {
  const auto* header = static_cast<const rtmsg*>(NLMSG_DATA(message));
  return header->rtm_family == AF_INET && header->rtm_dst_len == 0 &&
         header->rtm_type == RTN_UNICAST && route.table == RT_TABLE_MAIN &&
         route.interfaceIndex > 0;
}

class RouteQuery {
 public:
  RouteQuery() : socket_(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)) {}

  // Sends the request; false with `error` set when that fails.
  bool Send(RouteRequest& request, int& error) {
    if (!socket_.valid()) return Fail(error);
    timeval timeout{kReplyTimeoutMs / 1000, (kReplyTimeoutMs % 1000) * 1000};
    ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    static std::atomic<std::uint32_t> nextSequence{1};
    sequence_ = nextSequence.fetch_add(1);
    request.header.nlmsg_seq = sequence_;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(socket_.get(), &request, request.header.nlmsg_len, 0,
                 reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) < 0) {
      return Fail(error);
    }
    return true;
  }

  // Hands each route of the answer to `take` until it returns false or the
  // answer ends. False with `error` set when the kernel refused.
  template <class Take>
  bool Receive(Take take, int& error) {
    std::vector<char> buffer(kReplyCapacity);
    for (;;) {
      const ssize_t received = ::recv(socket_.get(), buffer.data(), buffer.size(), 0);
      if (received < 0) {
        if (errno == EINTR) continue;
        return Fail(error);
      }
      unsigned int length = static_cast<unsigned int>(received);
      for (const auto* message = reinterpret_cast<const nlmsghdr*>(buffer.data());
           NLMSG_OK(message, length); message = NLMSG_NEXT(message, length)) {
        if (message->nlmsg_seq != sequence_) continue;
        if (message->nlmsg_type == NLMSG_DONE) return true;
        if (message->nlmsg_type == NLMSG_ERROR) {
          const auto* answer = static_cast<const nlmsgerr*>(NLMSG_DATA(message));
          if (answer->error == 0) return true;
          error = -answer->error;
          return false;
        }
        if (message->nlmsg_type == RTM_NEWROUTE && !take(message)) return true;
      }
      if (received == 0) {
        error = EPROTO;
        return false;
      }
    }
  }

 private:
  static bool Fail(int& error) {
    error = errno;
    return false;
  }

  ScopedSocket socket_;
  std::uint32_t sequence_ = 0;
};

RouteRequest MakeRequest(std::uint16_t flags) {
  RouteRequest request{};
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
  request.header.nlmsg_type = RTM_GETROUTE;
  request.header.nlmsg_flags = flags;
  request.route.rtm_family = AF_INET;
  return request;
}

bool FindDefaultRoute(int& index, int& error) {
  RouteQuery query;
  RouteRequest request = MakeRequest(NLM_F_REQUEST | NLM_F_DUMP);
  if (!query.Send(request, error)) return false;
  bool found = false;
  std::uint32_t bestMetric = std::numeric_limits<std::uint32_t>::max();
  const bool answered = query.Receive(
      [&](const nlmsghdr* message) {
        const Route route = ReadRoute(message);
        if (IsDefaultRoute(message, route) && (!found || route.metric < bestMetric)) {
          found = true;
          bestMetric = route.metric;
          index = route.interfaceIndex;
        }
        return true;
      },
      error);
  if (!answered) return false;
  if (!found) error = ENETUNREACH;
  return found;
}

}  // namespace

bool FindBestInterface(IPv4Address destination, int& index, int& error) {
  if (destination == 0) return FindDefaultRoute(index, error);

  RouteQuery query;
  RouteRequest request = MakeRequest(NLM_F_REQUEST);
  request.route.rtm_dst_len = 32;
  request.destinationAttribute.rta_type = RTA_DST;
  request.destinationAttribute.rta_len = RTA_LENGTH(sizeof request.destination);
  request.destination = destination;
  request.header.nlmsg_len = sizeof request;
  if (!query.Send(request, error)) return false;
  int found = 0;
  const bool answered = query.Receive(
      [&](const nlmsghdr* message) {
        found = ReadRoute(message).interfaceIndex;
        return false;
      },
      error);
  if (!answered) return false;
  if (found <= 0) {
    error = ENETUNREACH;
    return false;
  }
  index = found;
  return true;
}

}  // namespace kiv::net_internal
