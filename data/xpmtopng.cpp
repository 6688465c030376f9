// Build tool: converts the program's XPM icon (the form the icon is kept and edited in) to
// the PNG that desktops look for.
#include <QImage>

#include <cstdio>

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: xpmtopng ICON.xpm ICON.png\n");
        return 2;
    }
    QImage image;
    if (!image.load(QString::fromLocal8Bit(argv[1]), "XPM")) {
        std::fprintf(stderr, "xpmtopng: cannot read '%s' as XPM\n", argv[1]);
        return 1;
    }
    if (!image.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "xpmtopng: cannot write '%s'\n", argv[2]);
        return 1;
    }
    return 0;
}
