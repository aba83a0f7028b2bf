// The products this tool services: the name given with -p, a description, and the text that
// identifies the device's USB instance to port discovery.
#pragma once

struct ST_PRODUCT {
  const char* short_name;
  const char* description;
  const char* usb_id;
};

extern const ST_PRODUCT g_products[];
extern const int g_product_count;
