/*
 * list_walks.cpp - the pure walks over bytes the gateway delivered: one
 * number of the event-type list, the extent of the information-object list,
 * and the items of a broadcast buffer. Each stays within the delivered
 * length, whatever the bytes claim; none prints or calls the library.
 */
#include <cstdio>
#include <cstring>

#include "broadcast/broadcast.h"

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

uint32_t ParseEventType(const char *list, uint32_t length, uint32_t position, int32_t *event_type) {
    uint32_t cursor = position;
    while (cursor < length && IsSpace(list[cursor])) {
        ++cursor;
    }
    bool negative = false;
    if (cursor < length && (list[cursor] == '+' || list[cursor] == '-')) {
        negative = list[cursor] == '-';
        ++cursor;
    }
    /* Accumulated like an unsigned long of 64 bits: an overflow saturates. */
    uint64_t value = 0;
    bool overflow = false;
    uint32_t digits = 0;
    while (cursor < length && IsDigit(list[cursor])) {
        uint64_t digit = static_cast<uint64_t>(list[cursor] - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            overflow = true;
        } else {
            value = value * 10 + digit;
        }
        ++cursor;
        ++digits;
    }
    if (digits == 0) {
        *event_type = 0;
        cursor = position;
    } else {
        if (overflow) {
            value = UINT64_MAX;
        } else if (negative) {
            value = 0 - value;
        }
        *event_type = static_cast<int32_t>(static_cast<uint32_t>(value));
    }
    /* The character after the number is skipped, whatever it is. */
    return cursor + 1;
}

InfObjListExtent MeasureInfObjList(const InfObjList *list, uint32_t delivered) {
    InfObjListExtent extent = {false, 0, 0};
    if (delivered < kInfObjListItemsOffset) {
        return extent;
    }
    extent.count_delivered = true;
    extent.announced = swapint32(list->count);
    uint32_t whole_items = (delivered - kInfObjListItemsOffset) / sizeof(InfObjItem);
    extent.walkable = extent.announced < whole_items ? extent.announced : whole_items;
    return extent;
}

InfObjItem InfObjListItem(const InfObjList *list, uint32_t i) {
    InfObjItem item;
    const char *bytes = reinterpret_cast<const char *>(list);
    memcpy(&item, bytes + kInfObjListItemsOffset + static_cast<size_t>(i) * sizeof item,
           sizeof item);
    return item;
}

BroadcastWalkEnd NextBroadcastItem(const char *buffer, uint32_t limit, uint32_t *position,
                                   BroadcastItem *item) {
    uint64_t start = *position;
    if (start >= limit) {
        return start == limit ? BroadcastWalkEnd::kExhausted : BroadcastWalkEnd::kTruncated;
    }
    uint16_t body_length;
    if (start + sizeof body_length > limit) {
        return BroadcastWalkEnd::kTruncated;
    }
    memcpy(&body_length, buffer + start, sizeof body_length);
    if (body_length == 0) {
        return BroadcastWalkEnd::kEndMarker;
    }
    uint64_t end = start + sizeof(GwBroadcastItemHead) + body_length;
    if (end > limit) {
        return BroadcastWalkEnd::kTruncated;
    }
    item->offset = static_cast<uint32_t>(start);
    item->body_length = body_length;
    memcpy(&item->id, buffer + start + offsetof(GwBroadcastItemHead, id), sizeof item->id);
    item->body = buffer + start + sizeof(GwBroadcastItemHead);
    *position = static_cast<uint32_t>(end);
    return BroadcastWalkEnd::kItem;
}

void FormatBroadcastName(const BroadcastId &id, char (&name)[8]) {
    snprintf(name, sizeof name, "%c%c%i", id.letters[0], id.letters[1],
             static_cast<int>(swapint16(id.number)));
}
