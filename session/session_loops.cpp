// The reader and parser loops on the library's own threads. This file is the only place
// that starts, cancels and joins them.
#include <pthread.h>
#include <signal.h>

#include "lep3.h"
#include "session/session_internal.h"

namespace lep3::session {

namespace {

struct Loop {
    pthread_t thread{};
    bool running = false;
};
Loop reader;
Loop parser;

bool start(Loop &loop, void *(*routine)(void *))
{
    // The host's signals are the host's: the loops take none of them.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    loop.running = pthread_create(&loop.thread, nullptr, routine, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return loop.running;
}

void stop(Loop &loop)
{
    // Both loops wait in cancellation points (the reader in read or its polling sleep, the
    // parser in its polling sleep), so cancelling ends them within one poll.
    if (!loop.running)
        return;
    pthread_cancel(loop.thread);
    pthread_join(loop.thread, nullptr);
    loop.running = false;
}

} // namespace

bool start_loops()
{
    if (!start(reader, LEP3_Read_Thr))
        return false;
    if (!start(parser, LEP3_Parse_Thr)) {
        stop(reader);
        return false;
    }
    return true;
}

void stop_loops()
{
    stop(reader);
    stop(parser);
}

void reclaim_reader()
{
    if (reader.running) {
        pthread_join(reader.thread, nullptr);
        reader.running = false;
    }
}

pthread_t reader_thread()
{
    return reader.thread;
}

} // namespace lep3::session
