// Feeds arbitrary bytes as a controller's set-up reply and checks that reading and acting
// on it stays inside the reply buffer and keeps the recipe id consistent with the type.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "rtde/rtde_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 60000) return 0;  // a pipe holds 64 KiB without a reader
    int fds[2];
    if (pipe(fds) != 0) abort();
    if (size && write(fds[1], data, size) != ssize_t(size)) abort();
    close(fds[1]);

    RtdeReply reply;
    ReplyRead read = rtde_read_reply(fds[0], &reply);
    close(fds[0]);
    if (read != ReplyRead::ok) return 0;
    if (reply.size < 3 || reply.payload_size + 1 > rtde_buffer_size) abort();
    if (reply.payload[reply.payload_size] != 0) abort();
    if (size < reply.size) abort();  // claimed more than arrived, yet read succeeded

    uint8_t recipe_id = 0xEE;
    bool answered = rtde_take_reply(reply, &recipe_id);
    if (answered != (reply.type == 'I')) abort();
    if (answered ? recipe_id != reply.payload[0] : recipe_id != 0) abort();
    return 0;
}
