// A constant table that asks for 16-byte alignment, more than the image's
// section alignment: the post-link step must refuse an image linked from it.
alignas(16) extern const unsigned char AlignedTable[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
