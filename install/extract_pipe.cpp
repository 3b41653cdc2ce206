#include "install/extract_pipe.h"

#include <pthread.h>

#include <cstring>

namespace zn {

namespace {

struct pipe_block {
    size_t len;
    char data[kPipeBlock];
};

// Blocks are used in turn: block n % kPipeDepth belongs to the writer while it fills it and to
// the reader from its hand-over (published++) until the reader is done with it (consumed++).
struct extraction_pipe {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
    pipe_block blocks[kPipeDepth];
    unsigned published = 0;
    unsigned consumed = 0;
    bool closed = false;
    bool threaded = false;
    pthread_t thread;
    pipe_block *filling = nullptr;
    tar_reader *reader = nullptr;
};

extraction_pipe pipe_state;

void *reader_main(void *) {
    extraction_pipe &p = pipe_state;
    pthread_mutex_lock(&p.lock);
    for (;;) {
        while (p.consumed == p.published && !p.closed) pthread_cond_wait(&p.changed, &p.lock);
        if (p.consumed == p.published) break;
        pipe_block *b = &p.blocks[p.consumed % kPipeDepth];
        pthread_mutex_unlock(&p.lock);
        tar_reader_feed(p.reader, b->data, b->len);
        pthread_mutex_lock(&p.lock);
        p.consumed++;
        pthread_cond_broadcast(&p.changed);
    }
    pthread_mutex_unlock(&p.lock);
    return nullptr;
}

// Hands the block being filled to the reader.
void publish() {
    extraction_pipe &p = pipe_state;
    if (p.filling == nullptr) return;
    pthread_mutex_lock(&p.lock);
    p.published++;
    p.filling = nullptr;
    pthread_cond_broadcast(&p.changed);
    pthread_mutex_unlock(&p.lock);
}

}  // namespace

int extract_pipe_start(tar_reader *r) {
    extraction_pipe &p = pipe_state;
    p.reader = r;
    p.published = p.consumed = 0;
    p.closed = false;
    p.filling = nullptr;
    p.threaded = pthread_create(&p.thread, nullptr, reader_main, nullptr) == 0;
    return p.threaded ? 0 : -1;
}

void extract_pipe_write(const char *data, size_t count) {
    extraction_pipe &p = pipe_state;
    if (!p.threaded) {
        tar_reader_feed(p.reader, data, count);
        return;
    }
    while (count > 0) {
        if (p.filling == nullptr) {
            pthread_mutex_lock(&p.lock);
            while (p.published - p.consumed >= unsigned(kPipeDepth))
                pthread_cond_wait(&p.changed, &p.lock);
            p.filling = &p.blocks[p.published % kPipeDepth];
            pthread_mutex_unlock(&p.lock);
            p.filling->len = 0;
        }
        size_t n = kPipeBlock - p.filling->len;
        if (n > count) n = count;
        std::memcpy(p.filling->data + p.filling->len, data, n);
        p.filling->len += n;
        data += n;
        count -= n;
        if (p.filling->len == kPipeBlock) publish();
    }
}

void extract_pipe_sync() {
    extraction_pipe &p = pipe_state;
    if (!p.threaded) return;
    publish();
    pthread_mutex_lock(&p.lock);
    while (p.consumed != p.published) pthread_cond_wait(&p.changed, &p.lock);
    pthread_mutex_unlock(&p.lock);
}

void extract_pipe_finish() {
    extraction_pipe &p = pipe_state;
    if (!p.threaded) return;
    publish();
    pthread_mutex_lock(&p.lock);
    p.closed = true;
    pthread_cond_broadcast(&p.changed);
    pthread_mutex_unlock(&p.lock);
    pthread_join(p.thread, nullptr);
    p.threaded = false;
}

}  // namespace zn
