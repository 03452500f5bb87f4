// Linked into every driver image by wdm_image() (cmake/WdmImage.cmake).
//
// The kernel loads a driver wherever it finds room, never at the image's
// preferred base, so every image must carry a base relocation table. On
// x86_64 a small driver may address everything RIP-relative and the linker
// then writes no .reloc section at all, which leaves the loader nothing to
// check the image against. One absolute pointer to the image itself keeps a
// relocation table in every image, as the platform's own linker does.

extern "C" {
// Defined by the linker at the image's first byte.
extern const char __ImageBase[];

[[gnu::used]] extern const void* const wdm_image_self = __ImageBase;
}
