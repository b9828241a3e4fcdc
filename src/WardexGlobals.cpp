#include "WardexGlobals.h"

std::atomic<bool> application_stop{false};
std::atomic<bool> stopPhmAliveThread{false};
std::atomic<bool> DTC_available{false};

ara::phm::PhmCallbackClient phmCallbackClient;
