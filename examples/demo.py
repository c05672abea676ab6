import quillfen; print(quillfen.__version__)


def inserted_banner_demo():
    """A banner inserted near the top pushes the page down: nearly every pixel below it differs, yet row
    alignment reports one inserted band and no changed content, while a real edit further down still shows."""
    width = 64

    def row(value):
        return bytes((value, (value * 3) % 256, 255 - value, 255)) * width

    page = [row((y * 37) % 200) for y in range(160)]
    banner = [row(250)] * 12
    edited = page[:100] + [bytes((255, 0, 0, 255)) * width] + page[101:]
    for title, current in (("banner only", page[:20] + banner + page[20:]),
                           ("banner and an edited row", page[:20] + banner + edited[20:])):
        c = quillfen.Comparison.from_rgba(b"".join(page), width, len(page), b"".join(current), width, len(current))
        alignment = c.row_alignment()
        print(f"{title}: diff_count={c.diff_count()}")
        print(f"  {alignment!r}")
        print(f"  bands={alignment.bands}")
        print(f"  aligned clusters={len(c.aligned_clusters(alignment))}, aligned ssim={c.aligned_ssim(alignment):.6f}")


inserted_banner_demo()
