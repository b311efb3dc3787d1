#include "rtde/rtde_package.h"

#include <cstring>

void rtde_write_header(uint8_t* buf, int size, int type) {
    buf[0] = uint8_t(size >> 8);
    buf[1] = uint8_t(size);
    buf[2] = uint8_t(type);
}

void rtde_encode_data(uint8_t* out, uint8_t recipe_id, const double values[6]) {
    rtde_write_header(out, rtde_data_package_size, 'U');
    out[3] = recipe_id;
    for (int k = 0; k < 6; ++k) {
        uint64_t bits;
        std::memcpy(&bits, &values[k], sizeof bits);
        uint8_t* p = out + 4 + 8 * k;
        for (int i = 0; i < 8; ++i) p[i] = uint8_t(bits >> (56 - 8 * i));
    }
}

int rtde_encode_setup_request(uint8_t* buf, const char* names) {
    size_t n = strlen(names);
    if (n > size_t(rtde_buffer_size - rtde_header_size))
        return -1;
    rtde_write_header(buf, int(n) + rtde_header_size, 'I');
    std::memcpy(buf + rtde_header_size, names, n);
    return int(n) + rtde_header_size;
}

ReplyRead rtde_check_reply(unsigned size, uint8_t type) {
    if (size < unsigned(rtde_header_size))
        return ReplyRead::too_short;
    unsigned payload = size - rtde_header_size;
    if (type == 'I' && payload < 1)
        return ReplyRead::no_recipe_id;
    if (payload + 1 > unsigned(rtde_buffer_size))
        return ReplyRead::too_long;
    return ReplyRead::ok;
}
