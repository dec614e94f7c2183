"""A second, independent model of the scan, the fragment list and the rebuild.

Written straight from the rules, in the plainest form (six strings per hit, the page test in
its written order, every ID written one by one with a zero buffer), so that it shares no code
and no shortcut with the C++ engine. check_cli.py compares kestrix-cli against it.
"""

import struct

PAGE = 512
CHUNK = 0x40000
INTERVAL = 0x3E000
HEADER = 0x4400

# The fixed header block of a rebuilt file: every non-zero byte, as offset and hex text.
HEADER_RUNS = [
    (0x0000, "2142444E05E28223534D170013000101F0030000EDEABD030400000001000000"),
    (0x0020, "9EE2D6030000000070196100FE2D020056550200393902009A950100B7620400"),
    (0x0040, "3C080300ED340200AC430200F17E0100DFE10100CF580200304002008F9C0100"),
    (0x0060, "393902003939020039390200194A02005655020094AA0200225302008DF50100"),
    (0x0080, "EF380200C208030021530200104902001A2B02007A0F0200E5B50100174A0200"),
    (0x00A0, "87380200C2080300AB240B0000000000DA00000000000000004458AE04000000"),
    (0x00C0, "006454AE040000008094F7B40100000000BC050B00000000EADDD60300000000"),
    (0x00E0, "004ECF28000000009CE2D60300000000009E8E2D000000000000000000000000"),
    (0x0100, "03070A0B0F110F1F21120D2121070D07032023231C2813131D380035141C0411"),
    (0x0120, "032015392D0D0108110437002D2003181C0000000F31043C000F03360003032C"),
    (0x0140, "040300292D012812040501000209313C0416082E2116252A07022E2D3F372233"),
    (0x0160, "0007000038000006030100033100303800051A1D2738254516002D47001C4140"),
    (0x0180, "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFF7FFFFFFF7FFFFFFFDFFFFFFFFFFFFFFBFF"),
    (0x01A0, "FFFFFFFFFFFFFFFFFFFFFF6FFFFFFFB282C2B700AC9F8C3FD6BF7D9FBCFDAD94"),
    (0x01C0, "184184080405000440000000150820280001C000000000000000200002400006"),
    (0x01E0, "EC40140487401000000100000078083081C0C710088D08021180088000000000"),
    (0x0200, "800100002C70B805000000006433235CD37B4E00000000000000000000000000"),
    (0x0238, "8540750475DE7304F0036F08C01D"),
    (0x4200, "027A0000F18B0000475380F7D15C80F7D72070F79C2870F7B54970F7263D70F7"),
    (0x4220, "4A4E70F7394F70F73B4970F76E7570F7067A70F7EB0D60F7062160F7D63160F7"),
    (0x4240, "6C3C60F7273D60F7134F60F7144F60F74B4F60F73C4960F7355260F71C5360F7"),
    (0x4260, "6F6160F7C66460F7927060F7817060F73F7460F70D8260F71E2150F7552950F7"),
    (0x4280, "BF2950F7B62A50F73F3050F7C33050F7023150F7013150F72E3050F7C53950F7"),
    (0x42A0, "CB4750F7326150F7EE6450F7037650F7ED7B50F7AF8150F7F68450F7BE0A40F7"),
    (0x42C0, "232C40F7533140F7CF3140F7CA3240F7873340F7893340F7E23140F7F93140F7"),
    (0x42E0, "F73140F7113340F74D3240F7623240F7027640F7BA7F40F7C98B40F73A0030F7"),
    (0x4300, "FF0B30F7E62930F78D3330F7EE3C30F7EA3430F7FC4430F7725030F7215330F7"),
    (0x4320, "525E30F7E25F30F7266A30F7E67B30F76B7F30F7070C20F7A90210F7EA2810F7"),
    (0x4340, "713C10F7096310F7076310F72E7A10F76C0300F7F32500F7FF2900F72A2A00F7"),
    (0x4360, "502800F7223100F7A03100F7803100F7783100F7893100F7703100F76F3100F7"),
    (0x4380, "C13100F7B03200F7883300F7FB3400F7B53900F7B03A00F7B13A00F7EB3C00F7"),
    (0x43A0, "104500F7B44900F7F84E00F7A84900F7A94900F7105300F7185300F7205300F7"),
    (0x43C0, "386300F7A86200F7586300F7086D00F7E87400F7407500F70C7900F7587F00F7"),
    (0x43E0, "D07D00F7488000F7C17F00F7DA8100F78686A807352222111846B00300000000"),
]


def header_block():
    block = bytearray(HEADER)
    for offset, text in HEADER_RUNS:
        raw = bytes.fromhex(text)
        block[offset:offset + len(raw)] = raw
    return bytes(block)


def tdiv(a, b):
    """Division truncating toward zero."""
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b > 0) else -q


def tmod(a, b):
    """Remainder with the sign of the dividend."""
    return a - b * tdiv(a, b)


def low32(v):
    v &= 0xFFFFFFFF
    return v - (1 << 32) if v >= 1 << 31 else v


def is_mostly_fill(page):
    return page.count(0x00) + page.count(0xFF) >= 256


def is_map_page_offset(v):
    if tmod(v, 512) != 0:
        return False
    d = tdiv(v, 512)
    if tmod(d, 530) == 0:
        return True
    return tmod(d - 530, 496) == 0


def map_page_id(v):
    d = tdiv(v, 512)
    return low32(tdiv(d - 530, 496) + 1)


def page_offset(page):
    return struct.unpack_from("<q", page, 504)[0]


def is_pst_map_page(page):
    return is_mostly_fill(page) and page[496] == 0x84 and page[497] == 0x84 and is_map_page_offset(page_offset(page))


def pst_header_intervals(header):
    if header[0:4] != b"!BDN":
        return 0
    e = struct.unpack_from("<q", header, 184)[0]
    return low32(tdiv(e - HEADER, INTERVAL))


def size_to_text(count):
    count &= (1 << 64) - 1
    unit, r = 0, 0
    while count >= 1024 and unit < 4:
        r = count % 1024
        count //= 1024
        unit += 1
    text = str(count % 65536)
    h = r * 100 // 1024
    if h > 0:
        text += ".%02d" % h
    return text + [" B", " KB", " MB", " GB", " TB"][unit]


def scan(data):
    """The found-page list: six strings per hit."""
    found = []
    size = len(data)
    position = 0
    length = CHUNK
    while position < size:
        if position + length > size:
            length = size - position
        chunk = data[position:position + length]
        for i in range(length // 512):
            page = chunk[512 * i:512 * i + 512]
            if is_pst_map_page(page):
                found += ["", str(map_page_id(page_offset(page))), str(position // 512 + i), "", "", ""]
        position += length
    return found


def parse_page_pos(s):
    start = ""
    for ch in s:
        if ch == " ":
            break
        start += ch
    end = s[len(start) + 2:]
    return start, end


def detect_fragments(found):
    out = []
    H = len(found) // 6
    if H == 0:
        return out

    def ID(h):
        return int(found[6 * h + 1])

    def Sec(h):
        return int(found[6 * h + 2])

    def fits(x, y):
        return Sec(y) - Sec(x) == (ID(y) - ID(x)) * 496

    counter = 0
    is_open = False
    start_id = 0
    h = 0

    def close(at):
        nonlocal is_open
        out.append(found[6 * at + 1] + " - " + str(Sec(at) + 496))
        out.append(str(low32(ID(at) - start_id + 1)))
        is_open = False

    while True:
        if not is_open:
            counter += 1
            out.append(str(counter))
            out.append(found[6 * h + 1] + " - " + found[6 * h + 2])
            start_id = int(parse_page_pos(out[-1])[0])
            is_open = True
        if len(found) >= 6 * h + 14 and ID(h + 1) != ID(h) and ID(h + 2) != ID(h):
            if fits(h, h + 2):
                h += 2
            elif fits(h, h + 1):
                h += 1
            else:
                close(h)
                h += 1
        else:
            if h == H - 1:
                h += 1
            elif fits(h, h + 1):
                h += 1
            else:
                close(h)
                h += 1
        if h == H:
            close(H - 1)
            return out


def file_size_text(data, start_id, start_sector):
    if start_id != 0:
        return "0"
    # Where the header would lie before the source or cannot be read whole: "0 < 0B >".
    if start_sector < 34:
        return "0 < 0B >"
    header = data[(start_sector - 34) * 512:(start_sector - 34) * 512 + 512]
    if len(header) < 512:
        return "0 < 0B >"
    n = pst_header_intervals(header)
    if n == 0:
        return "0 < 0B >"
    end = struct.unpack_from("<q", header, 184)[0]
    return str(n & 0xFFFFFFFF) + " <" + size_to_text(end) + ">"


def fragment_rows(data):
    texts = detect_fragments(scan(data))
    rows = []
    j = 0
    while 4 * j < len(texts) - 1:
        start, end = parse_page_pos(texts[4 * j + 1])
        rows.append([texts[4 * j], texts[4 * j + 1], texts[4 * j + 2], texts[4 * j + 3],
                     file_size_text(data, int(start), int(end))])
        j += 1
    return rows


def tsv(data):
    lines = ["ID\t开始ID\t结束ID\t碎片大小\t文件大小"]
    lines += ["\t".join(r) for r in fragment_rows(data)]
    return "\n".join(lines) + "\n"


def rebuild(data):
    """The rebuilt file for one input: index pass, then every ID with a zero buffer."""
    index = {}
    highest = "0"
    size = len(data)
    offset = 0
    block = INTERVAL
    while offset < size:
        if offset + block > size:
            block = size - offset
        if block == INTERVAL:
            page = data[offset:offset + 512]
            if is_pst_map_page(page):
                id_text = str(map_page_id(page_offset(page)))
                index[id_text] = offset
                if int(id_text) > int(highest):
                    highest = id_text
        offset += block
    out = bytearray(header_block())
    zero = bytes(INTERVAL)
    for i in range(int(highest) + 1):
        pos = index.get(str(i))
        out += data[pos:pos + INTERVAL] if pos is not None else zero
    return bytes(out)
