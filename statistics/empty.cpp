// Bring-up placeholder so the library has a translation unit; removed at integration.
