// The description of a recorded run, written in place while the run goes on.
#include "recording/description.h"


#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace description {

bool ecrit_en_place(QFile &f, const QByteArray &octets, bool coupe, QString *raison)
{
    const auto echec = [raison](int err) {
        if (raison)
            *raison = QString::fromLocal8Bit(std::strerror(err));
        return false;
    };
    const int fd = f.handle();
    if (fd < 0)
        return echec(EBADF);
    qsizetype fait = 0;
    while (fait < octets.size()) {
        const ssize_t n = ::pwrite(fd, octets.constData() + fait, size_t(octets.size() - fait), off_t(fait));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return echec(n < 0 ? errno : EIO);
        fait += n;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return true; // a device or a pipe has no length to cut
    if ((coupe || st.st_size > octets.size()) && ::ftruncate(fd, off_t(octets.size())) != 0)
        return echec(errno);
    return true;
}

bool reserve(QFile &f, qint64 taille)
{
    const int fd = f.handle();
    if (fd < 0)
        return false;
    // Not posix_fallocate: it lengthens the file, and a run killed before its end would leave
    // a log ending in zero bytes.
    int r;
    do
        r = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, off_t(taille));
    while (r != 0 && errno == EINTR);
    return r == 0;
}

} // namespace description
