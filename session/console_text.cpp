#include "session/console_text.h"

#include <cstdio>

#include "session/product.h"

void cmPrintRule() {
  std::printf("===============================================================================\n");
}

void cmPrintUsage() {
  std::printf("usage: -p [PRODUCT NAME] -cmd [COMMAND] -fw [firmware binary] -settings [settings file]\n");
  std::printf("COMMAND: fact_reset, param_get, param_set, reboot, update, version\n");
  std::printf("Available products:\n");
  std::printf("\t%s\n", g_products[0].short_name);
}
