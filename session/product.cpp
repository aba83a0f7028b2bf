#include "session/product.h"

const ST_PRODUCT g_products[] = {
    {"RX5120", "USB DECT Vantor", "VID_3F7A&PID_5120"},
};
const int g_product_count = sizeof g_products / sizeof g_products[0];
