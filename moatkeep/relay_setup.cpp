#include "relay_setup.h"

#include <memory>

#include "service_description.h"
#include "zunder/resources.h"

namespace {

struct SpecialRelay {
  const char* name;
  RelayKind kind;
};

// Compared exactly, case included.
const SpecialRelay kSpecialRelays[] = {
    {"(SOCKS)", RelayKind::Socks},
    {"(HTTP)", RelayKind::Http},
    {"(FTP)", RelayKind::Ftp},
    {"(ASK)", RelayKind::Ask},
};

}  // namespace

bool PlanRelay(const char* serviceDescription, const char* relayPoint, RelayPlan& plan, LogSink& log) {
  if (serviceDescription == nullptr) serviceDescription = "";
  if (relayPoint == nullptr) relayPoint = "";
  ZString errors;
  plan.port = ParseService(serviceDescription, plan.name, plan.protocol, errors);
  if (plan.port == 0) {
    log.Log(ErrorLevel, "%s", errors.Text());
    return false;
  }

  if (relayPoint[0] == '(') {
    if (plan.protocol == "udp") {
      log.Log(ErrorLevel, "Invalid special relay for UDP service \"%s\".", plan.name.Text());
      return false;
    }
    for (const SpecialRelay& special : kSpecialRelays) {
      if (ZString(relayPoint) == special.name) {
        plan.kind = special.kind;
        return true;
      }
    }
    log.Log(ErrorLevel, "Invalid special relay name \"%s\" for service \"%s\".", relayPoint, plan.name.Text());
    return false;
  }

  if (!plan.destination.Parse(relayPoint, plan.port)) {
    log.Log(ErrorLevel, "Invalid relay point \"%s\" for service \"%s\".", relayPoint, plan.name.Text());
    return false;
  }
  plan.kind = plan.protocol == "udp" ? RelayKind::PlainUDP : RelayKind::PlainTCP;
  return true;
}

ZIPSocket* OpenMasterSocket(const RelayPlan& plan, LogSink& log) {
  std::unique_ptr<ZIPSocket> socket;
  if (plan.protocol == "tcp") {
    socket = std::make_unique<ZTCPSocket>(plan.port);
  } else {
    socket = std::make_unique<ZUDPSocket>(plan.port);
  }
  if (!socket->Listen(ZMaxListenQueue(), plan.port, false)) {
    log.Log(ErrorLevel, "Cannot create master socket for service \"%s\": %s", plan.name.Text(),
            socket->GetErrorText().Text());
    return nullptr;
  }
  return socket.release();
}
