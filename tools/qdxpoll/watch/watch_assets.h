// The files the page of `qdxpoll watch` loads, built into the program
// (cmake/embed_files.cmake writes their source at build time): the page
// itself and the chart library dygraphs.
#ifndef QDXPOLL_WATCH_ASSETS_H
#define QDXPOLL_WATCH_ASSETS_H

#include <cstddef>

struct EmbeddedFile {
    const char* path;          // where the server offers it: "/", "/dygraph.min.js"
    const char* content_type;
    const unsigned char* data;
    size_t size;
};

extern const EmbeddedFile kEmbeddedFiles[];
extern const size_t kEmbeddedFileCount;

#endif  // QDXPOLL_WATCH_ASSETS_H
