#include "proxy.h"

// Until the exchange logic is in place, datagrams are taken and dropped.
void Proxy::UDPRelay(ProxyThread& thread, ZIPSocket& master) { InterimDatagramRelay(thread, master); }
