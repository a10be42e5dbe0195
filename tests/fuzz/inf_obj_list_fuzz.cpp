/*
 * inf_obj_list_fuzz.cpp - measures and walks an information-object list the
 * way the subscription of every object does: the extent from the delivered
 * bytes, then each walkable item and its broadcast name.
 *
 * The list sits in a block of exactly the delivered size, so ASan flags any
 * item read past it. The extent must agree with the count at the head of
 * the list and with the number of whole items delivered.
 */
#include <cstdint>
#include <cstring>

#include "broadcast/broadcast.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > kMaxListBufferSize) {
        return 0;
    }
    OwnedCopy bytes(data, size);
    const uint32_t delivered = static_cast<uint32_t>(size);
    const InfObjList *list = reinterpret_cast<const InfObjList *>(bytes.data());

    InfObjListExtent extent = MeasureInfObjList(list, delivered);
    if (delivered < kInfObjListItemsOffset) {
        FUZZ_CHECK(!extent.count_delivered && extent.announced == 0 && extent.walkable == 0);
        return 0;
    }
    FUZZ_CHECK(extent.count_delivered);
    const uint32_t count = (uint32_t{data[0]} << 24) | (uint32_t{data[1]} << 16) |
                           (uint32_t{data[2]} << 8) | uint32_t{data[3]};
    FUZZ_CHECK(extent.announced == count);
    const uint32_t whole_items = (delivered - kInfObjListItemsOffset) / sizeof(InfObjItem);
    FUZZ_CHECK(extent.walkable == (count < whole_items ? count : whole_items));

    for (uint32_t i = 0; i < extent.walkable; ++i) {
        InfObjItem item = InfObjListItem(list, i);
        FUZZ_CHECK(std::memcmp(&item, data + kInfObjListItemsOffset + i * sizeof item,
                               sizeof item) == 0);
        char name[8];
        FormatBroadcastName(item.key.broadcastId, name);
        FUZZ_CHECK(std::memchr(name, '\0', sizeof name) != nullptr);
    }
    return 0;
}
