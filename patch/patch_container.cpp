#include "patch/patch_container.h"

namespace {

// Seeks back bytes before the end of the file, where back has already been
// checked against the file size. A single seek takes a signed 32-bit offset,
// so a distance of 2 GiB or more (an absurd payload) is refused.
bool SeekBackFromEnd(ByteStream* file, uint32_t fileSize, uint64_t back) {
    if (back > fileSize || back > 0x7FFFFFFFu) return false;
    uint32_t expected = fileSize - static_cast<uint32_t>(back);
    return StreamSeek(file, -static_cast<int32_t>(back), SeekOrigin::End) == expected;
}

// The unsigned little-endian length whose 4 bytes end back bytes before the
// end of the file (back counts the length field itself).
bool ReadLength(ByteStream* file, uint32_t fileSize, uint64_t back, uint32_t* value) {
    if (back < 4 || !SeekBackFromEnd(file, fileSize, back)) return false;
    uint8_t bytes[4];
    if (StreamRead(file, bytes, 4) != 4) return false;
    *value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
             static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return true;
}

// Copies count bytes from the file's position into target. All or nothing:
// when fewer arrive, target gets its old size and position back.
bool CopyWhole(ByteStream* target, ByteStream* file, uint32_t count) {
    uint32_t oldSize = StreamGetSize(target);
    uint32_t oldPosition = StreamPosition(target);
    if (CopyStreamBytes(target, file, count) == count) return true;
    StreamSetSize(target, oldSize);
    if (oldPosition != InvalidPosition) SetStreamPosition(target, static_cast<int32_t>(oldPosition));
    return false;
}

}  // namespace

bool ReadPatchContainer(const ByteString& path, ByteStream* patchOut, ByteString* descriptionOut,
                        PatchContainerInfo* info) {
    PatchContainerInfo found = {};
    ByteString description;

    ByteStream* patch = patchOut ? patchOut : CreateMemoryStream();
    ByteStream* descriptionStream = CreateMemoryStream();
    ByteStream* file = OpenReadOnlyFileStream(path);
    // GetSize gives 0 for a file that could not be opened or sized; every
    // check below then fails and both blocks stay empty.
    found.fileSize = StreamGetSize(file);
    found.payloadOffset = found.fileSize;

    // Every length is checked against the file size before it steers a seek
    // or a copy: the blocks can neither start before the file nor be larger
    // than it.
    uint32_t l1 = 0;
    if (patch && ReadLength(file, found.fileSize, 4, &l1)) {
        found.l1 = l1;
        if (l1 >= 4 && l1 <= found.fileSize && SeekBackFromEnd(file, found.fileSize, l1) &&
            CopyWhole(patch, file, l1 - 4)) {
            found.l1Valid = true;
            found.payloadOffset = found.fileSize - l1;
        }
    }

    uint32_t l2 = 0;
    if (found.l1Valid && ReadLength(file, found.fileSize, static_cast<uint64_t>(l1) + 4, &l2)) {
        found.l2 = l2;
        uint32_t room = found.fileSize - l1;
        if (l2 >= 4 && l2 <= room && descriptionStream &&
            SeekBackFromEnd(file, found.fileSize, static_cast<uint64_t>(l1) + l2) &&
            CopyWhole(descriptionStream, file, l2 - 4) &&
            SetStreamPosition(descriptionStream, 0) == 0) {
            description = ReadStreamText(descriptionStream, l2 - 4);
            if (description.Length() == l2 - 4) {
                found.l2Valid = true;
                found.payloadOffset = room - l2;
            } else {
                description = ByteString();
            }
        }
    }

    Release(file);
    Release(descriptionStream);
    if (!patchOut) Release(patch);
    if (descriptionOut) *descriptionOut = static_cast<ByteString&&>(description);
    if (info) *info = found;
    return found.l1Valid;
}
