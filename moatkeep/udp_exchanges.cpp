// Book-keeping of the UDP relay's exchanges: the budget of exchange threads
// and the exchanges of each relay.
#include "udp_exchanges.h"

#include <algorithm>
#include <map>
#include <memory>

namespace {

std::mutex registryMutex;
std::map<const ZIPSocket*, std::shared_ptr<UdpExchanges>> registry;

}  // namespace

// ---------------------------------------------------------------- ExchangeBudget

bool ExchangeBudget::Take() {
  std::lock_guard<std::mutex> lock(mutex);
  if (inUse >= limit) return false;
  ++inUse;
  return true;
}

void ExchangeBudget::Give() {
  std::lock_guard<std::mutex> lock(mutex);
  if (inUse > 0) --inUse;
}

int32_t ExchangeBudget::InUse() const {
  std::lock_guard<std::mutex> lock(mutex);
  return inUse;
}

// ---------------------------------------------------------------- UdpExchanges

bool UdpExchanges::Begin() {
  std::lock_guard<std::mutex> lock(mutex);
  if (shuttingDown || !budget.Take()) return false;
  ++inFlight;
  refusing = false;
  return true;
}

bool UdpExchanges::Attach(ZSocket& socket) {
  std::lock_guard<std::mutex> lock(mutex);
  if (shuttingDown) return false;
  sockets.push_back(&socket);
  return true;
}

void UdpExchanges::Detach(ZSocket& socket) {
  std::lock_guard<std::mutex> lock(mutex);
  sockets.erase(std::remove(sockets.begin(), sockets.end(), &socket), sockets.end());
}

void UdpExchanges::End() {
  std::lock_guard<std::mutex> lock(mutex);
  if (inFlight > 0) {
    --inFlight;
    budget.Give();
  }
  ended.notify_all();
}

void UdpExchanges::Shutdown() {
  std::unique_lock<std::mutex> lock(mutex);
  shuttingDown = true;
  // Closing wakes an exchange waiting for its reply; it then ends at once.
  for (ZSocket* socket : sockets) socket->Close();
  ended.wait(lock, [this] { return inFlight == 0; });
}

int32_t UdpExchanges::InFlight() const {
  std::lock_guard<std::mutex> lock(mutex);
  return inFlight;
}

bool UdpExchanges::IsShuttingDown() const {
  std::lock_guard<std::mutex> lock(mutex);
  return shuttingDown;
}

bool UdpExchanges::NoteRefusal() {
  std::lock_guard<std::mutex> lock(mutex);
  if (refusing) return false;
  refusing = true;
  return true;
}

std::shared_ptr<UdpExchanges> ExchangesOf(const ZIPSocket& master, ExchangeBudget& budget) {
  std::lock_guard<std::mutex> lock(registryMutex);
  auto& exchanges = registry[&master];
  if (exchanges == nullptr) exchanges = std::make_shared<UdpExchanges>(budget);
  return exchanges;
}

void ForgetExchangesOf(const ZIPSocket& master) {
  std::lock_guard<std::mutex> lock(registryMutex);
  registry.erase(&master);
}
