#include "proxy.h"

// Until the agent is in place, its port accepts and closes connections.
void Proxy::SocksServer(ProxyThread& thread, ZIPSocket& master) { InterimAgent(thread, master); }
