"""The executed path of a compiled kernel: sm_90 SASS run one thread at a time, without a GPU.

`Program` parses one kernel of `nvdisasm -c` output (its own subroutines
included) and a `Thread` executes it for one thread of a launch: registers,
predicates, uniform registers, the constant banks (parameters at 0x210,
launch geometry at 0x0, the kernel's own bank 2 read from the cubin), a
sparse global memory of named arrays and the block's shared memory. Every
instruction reached is counted, predicated off or not (it takes its issue
slot either way); every global and shared access records its address and
width. An access outside every array, or outside the kernel's static shared
memory, is an error: the kernel would read or write outside its arrays.

Shared memory: sm_90 puts a block's static `__shared__` arrays at shared
address 0x400 (the first 1 KB is reserved) up to the size of the cubin's
`.nv.shared.<kernel>` section; SR_CgaCtaId is 0 (no clusters). A generic
load or store whose address lies in the shared window (SR_SWINHI in the high
word) is a shared access.

The arithmetic follows the instruction set closely enough to take the same
branches as the GPU: integer operations exactly (carries, 64-bit pairs,
comparisons chained with .EX), float32 operations rounded to nearest through
NumPy, the special-function unit (MUFU) through libm at full precision
(the hardware's approximations differ in the last bits, which no branch
tests). Array contents are zeros unless given (matrices, weight tables,
offsets): pixel values steer no branch in these kernels.

`warp_counts` runs the 32 lanes of a warp and merges their traces the way a
warp issues them: lanes that execute the same instruction for the same time
share one issue. `block_counts` runs every thread of a block for kernels
with barriers: each thread runs until it reaches `BAR.SYNC` or exits, then
all continue (round-robin from barrier to barrier), so what a thread reads
from shared memory after a barrier is what the block wrote before it (a
thread reading what another wrote since the last barrier is a race, an
error); then each warp's traces merge as above. `wavefronts` is the cost of one
warp-wide shared access in bank cycles.
"""

import math
import re
import struct
from collections import Counter

import numpy as np

MASK = 0xFFFFFFFF
_F2I_RANGES = {"U8": (0, 255), "S8": (-128, 127), "U16": (0, 65535), "S16": (-32768, 32767)}
PARAM_BASE = 0x210  # sm_90: kernel parameters in constant bank 0 from here
SHARED_BASE = 0x400  # sm_90: a block's static shared arrays start here (1 KB reserved below)
SHARED_WINDOW = 0x7E00  # SR_SWINHI: the high word of generic addresses into shared memory
BANKS = 32  # shared memory: 32 banks of 4-byte words


class EmulationError(Exception):
    pass


# ---- the cubin: constant bank 2 (jump tables, large constants) ------------------


def _elf_headers(data):
    """[(name, section header)] of an ELF64 file's sections."""
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 0x3A)
    headers = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + k * shentsize) for k in range(shnum)]
    strtab = headers[shstrndx]
    names = data[strtab[4]: strtab[4] + strtab[5]]
    return [(names[h[0]: names.index(b"\0", h[0])].decode(), h) for h in headers]


def elf_sections(data):
    """{name: bytes} of an ELF64 file."""
    # SHT_NOBITS (kind 8) holds nothing in the file
    return {name: b"" if h[1] == 8 else data[h[4]: h[4] + h[5]] for name, h in _elf_headers(data)}


def elf_section_sizes(data):
    """{name: size} of an ELF64 file's sections (NOBITS ones included)."""
    return {name: h[5] for name, h in _elf_headers(data)}


def elf_globals(data):
    """The module's global variables as bank 4 holds their addresses: (slots, sections), slots
    [(bank 4 offset, section name, offset in it)] from the relocations of .nv.constant4, sections
    {name: bytes} of the sections those variables lie in (zeros for a section without contents)."""
    headers = _elf_headers(data)
    by_name = dict(headers)
    rela, symtab = by_name.get(".rela.nv.constant4"), by_name.get(".symtab")
    if rela is None or symtab is None:
        return [], {}
    slots, sections = [], {}
    for k in range(rela[5] // 24):
        offset, info, addend = struct.unpack_from("<QQq", data, rela[4] + 24 * k)
        _, _, _, shndx, value, _ = struct.unpack_from("<IBBHQQ", data, symtab[4] + 24 * (info >> 32))
        name, h = headers[shndx]
        sections[name] = bytes(h[5]) if h[1] == 8 else data[h[4]: h[4] + h[5]]
        slots.append((offset, name, value + addend))
    return slots, sections


# ---- the listing ------------------------------------------------------------------

_LINE = re.compile(r"\s*/\*([0-9a-f]{4,})\*/\s+(.*?)\s*;")
_LABEL = re.compile(r"^([.$\w]+):$")


def parse_listing(sass):
    """{function: (instructions [(address, text)], labels {name: address})} of `nvdisasm -c` text."""
    out, current, pending = {}, None, []
    for raw in sass.splitlines():
        line = raw.strip()
        m = re.match(r"\.text\.(\S+):$", line)
        if m:
            current = m.group(1)
            out[current] = ([], {})
            pending = []
            continue
        if current is None:
            continue
        m = _LABEL.match(line)
        if m:
            pending.append(m.group(1))
            continue
        m = _LINE.match(raw)
        if m:
            address = int(m.group(1), 16)
            for label in pending:
                out[current][1][label] = address
            pending = []
            out[current][0].append((address, m.group(2).strip()))
    return out


def split_operands(text):
    """Operands of an instruction's text, split at the commas outside brackets."""
    parts, depth, word = [], 0, ""
    for ch in text:
        if ch in "[(":
            depth += 1
        elif ch in "])":
            depth -= 1
        if ch == "," and depth == 0:
            parts.append(word.strip())
            word = ""
        else:
            word += ch
    if word.strip():
        parts.append(word.strip())
    return parts


class Instruction:
    __slots__ = ("address", "text", "guard", "negate", "op", "mods", "operands", "target", "targets")

    def __init__(self, address, text, labels):
        self.address, self.text = address, text
        self.guard, self.negate = None, False
        m = re.match(r"@(!?)(U?P[T0-9])\s+(.*)", text)
        if m:
            self.negate, self.guard, text = m.group(1) == "!", m.group(2), m.group(3)
        self.targets = None
        m = re.search(r'\(\*"BRANCH_TARGETS ([^"]*)"\*\)', text)
        if m:
            self.targets = [labels[t.strip()] for t in m.group(1).split(",")]
            text = text[: m.start()].strip()
        word, _, rest = text.partition(" ")
        self.op, *self.mods = word.split(".")
        self.target = None
        m = re.search(r"`\(([^)]*)\)", rest)
        if m:
            self.target = labels.get(m.group(1))
            rest = rest[: m.start()].strip().rstrip(",").strip()
        if self.op == "BRX":
            rest = rest.replace(" ", ",")
        self.operands = split_operands(rest)


class Program:
    """One kernel: its instructions by address, its bank 2 constants."""

    def __init__(self, instructions, labels, bank2=b"", globals_=([], {})):
        self.code = {a: Instruction(a, t, labels) for a, t in instructions}
        self.order = [a for a, _ in instructions]
        self.next = {a: b for a, b in zip(self.order, self.order[1:])}
        self.bank2 = bank2
        self.globals = globals_  # elf_globals: the module's global variables
        self.bank4 = b""  # their addresses, once placed in a memory (place_globals)
        self.barriers = any(ins.op == "BAR" for ins in self.code.values())


# ---- memory -------------------------------------------------------------------------


class Memory:
    """Named arrays at fixed addresses; bytes not given read as zeros, writes are kept."""

    def __init__(self):
        self.regions = []  # (base, size, name, bytearray or None)
        self.top = 0x7F0000000000
        self.written = {}
        self.read_from, self.written_to = set(), set()

    def add(self, name, size, data=None):
        base = self.top
        self.top += (size + 0xFFFF) // 0x10000 * 0x10000 + 0x10000
        buf = bytearray(data) if data is not None else None
        self.regions.append((base, size, name, buf))
        return base

    def size(self, base):
        return next(size for b, size, _, _ in self.regions if b == base)

    def find(self, address, width):
        for base, size, name, buf in self.regions:
            if base <= address and address + width <= base + size:
                return base, name, buf
        raise EmulationError(f"access of {width} bytes at {address:#x} lies outside every array")

    def read(self, address, width):
        base, _, buf = self.find(address, width)
        self.read_from.add(base)
        if buf is not None:
            return bytes(buf[address - base: address - base + width])
        got = self.written.get(address)  # an array without contents: what was stored there, if alike
        return got if got is not None and len(got) == width else bytes(width)

    def write(self, address, data):
        base, _, buf = self.find(address, len(data))
        self.written_to.add(base)
        self.written[address] = bytes(data)
        if buf is not None:  # later reads of any width see it
            buf[address - base: address - base + len(data)] = data


def place_globals(program, memory):
    """The program's global variables placed in memory as arrays of their own (read-only tables, as
    the kernels take them), and bank 4 set to their addresses."""
    slots, sections = program.globals
    bases = {name: memory.add(name, len(data), data) for name, data in sections.items()}
    bank = bytearray(max((offset + 8 for offset, _, _ in slots), default=0))
    for offset, name, at in slots:
        struct.pack_into("<Q", bank, offset, bases[name] + at)
    program.bank4 = bytes(bank)


class SharedMemory:
    """One block's static shared memory: bytes [SHARED_BASE, end), zeros until written.

    Each byte remembers which thread last wrote it and which read it, and in
    which interval between barriers (`epoch`, advanced when the block passes
    a barrier): a thread reading a byte another thread wrote in the same
    interval, or changing one another thread read or wrote in it, is a race
    (the GPU runs the block's threads in no fixed order between barriers) and
    an error.
    """

    MANY = -2  # read by more than one thread in the interval
    SAME = -3  # written by more than one thread in the interval, all the same value

    def __init__(self, end):
        self.end = end
        self.data = bytearray(end)
        self.epoch = 0
        self.writer, self.written_in = [-1] * end, [-1] * end
        self.reader, self.read_in = [-1] * end, [-1] * end

    def check(self, address, width):
        if not (SHARED_BASE <= address and address + width <= self.end):
            raise EmulationError(f"shared access of {width} bytes at {address:#x} lies outside the block's "
                                 f"shared memory [{SHARED_BASE:#x}, {self.end:#x})")  # fmt: skip
        if address % width:
            raise EmulationError(f"misaligned shared access of {width} bytes at {address:#x}")

    def read(self, address, width, thread):
        self.check(address, width)
        epoch, end = self.epoch, address + width
        if epoch in self.written_in[address:end]:
            for b in range(address, end):
                if self.written_in[b] == epoch and self.writer[b] not in (thread, self.SAME):
                    raise EmulationError(f"shared memory race: thread {thread} reads {b:#x}, written by thread "
                                         f"{self.writer[b]} since the last barrier")  # fmt: skip
        if epoch not in self.read_in[address:end]:
            self.read_in[address:end], self.reader[address:end] = [epoch] * width, [thread] * width
        else:
            for b in range(address, end):
                if self.read_in[b] != epoch:
                    self.read_in[b], self.reader[b] = epoch, thread
                elif self.reader[b] != thread:
                    self.reader[b] = self.MANY
        return bytes(self.data[address:end])

    def write(self, address, data, thread):
        self.check(address, len(data))
        epoch, end = self.epoch, address + len(data)
        writers = [thread] * len(data)
        if epoch in self.read_in[address:end] or epoch in self.written_in[address:end]:
            for k, b in enumerate(range(address, end)):
                if self.data[b] == data[k]:  # the same value: no thread can tell the order
                    if self.written_in[b] == epoch and self.writer[b] != thread:
                        writers[k] = self.SAME
                    continue
                if self.read_in[b] == epoch and self.reader[b] != thread:
                    by = "other threads" if self.reader[b] == self.MANY else f"thread {self.reader[b]}"
                    raise EmulationError(f"shared memory race: thread {thread} writes {b:#x}, read by {by} "
                                         f"since the last barrier")  # fmt: skip
                if self.written_in[b] == epoch and self.writer[b] != thread:
                    raise EmulationError(f"shared memory race: threads {self.writer[b]} and {thread} write "
                                         f"different values to {b:#x} since the last barrier")  # fmt: skip
        self.writer[address:end], self.written_in[address:end] = writers, [epoch] * len(data)
        self.data[address:end] = data


def wavefronts(lanes):
    """Bank cycles of one warp-wide shared access: [(lane, byte address, width)] of its active lanes.

    Accesses of up to 4 bytes run as one phase of 32 lanes, 8-byte ones as two
    of 16 lanes, 16-byte ones as four of 8 lanes; a phase costs the most
    distinct 4-byte words any one bank must serve (lanes reading the same word
    share it), and the access the sum of its phases.
    """
    per_phase = 32 // max(1, max(w for _, _, w in lanes) // 4)
    phases = {}
    for lane, address, width in lanes:
        banks = phases.setdefault(lane // per_phase, {})
        for word in range(address // 4, (address + width - 1) // 4 + 1):
            banks.setdefault(word % BANKS, set()).add(word)
    return sum(max(len(words) for words in banks.values()) for banks in phases.values())


# ---- values ---------------------------------------------------------------------------


def f32(bits):
    return struct.unpack("<f", struct.pack("<I", bits & MASK))[0]


def bits(value):
    return struct.unpack("<I", struct.pack("<f", np.float32(value)))[0]


def s32(v):
    v &= MASK
    return v - (1 << 32) if v >> 31 else v


def half_bits(text):
    return int(np.array([float(text)], dtype=np.float16).view(np.uint16)[0])


def float_immediate(text):
    t = text.upper()
    if t in ("+INF", "INF"):
        return math.inf
    if t == "-INF":
        return -math.inf
    if t in ("+QNAN", "QNAN", "-QNAN", "NAN", "+NAN"):
        return math.nan
    return float(text)


# ---- operand parsing, memoised by text ---------------------------------------------

_memo_reg, _memo_pred, _memo_const, _memo_addr, _memo_op = {}, {}, {}, {}, {}


def _register(text):
    got = _memo_reg.get(text, 0)
    if got == 0:
        m = re.match(r"(U?R)(\d+|Z)", text)
        got = None if not m else (m.group(1), (255 if m.group(1) == "R" else 63) if m.group(2) == "Z" else int(m.group(2)))
        _memo_reg[text] = got
    return got


def _predicate(text):
    got = _memo_pred.get(text)
    if got is None:
        neg = text.startswith("!")
        name = text.lstrip("!")
        if name in ("PT", "UPT"):
            got = (neg, None, 0)
        elif re.match(r"^UP\d$", name):
            got = (neg, "UP", int(name[2:]))
        elif re.match(r"^P\d$", name):
            got = (neg, "P", int(name[1:]))
        else:
            raise EmulationError(f"not a predicate: {text}")
        _memo_pred[text] = got
    return got


def _constant(text):
    got = _memo_const.get(text)
    if got is None:
        m = re.match(r"c\[(0x[0-9a-f]+)\]\[(.*)\]", text)
        got = _memo_const[text] = (int(m.group(1), 16), m.group(2))
    return got


def _address(text):
    got = _memo_addr.get(text)
    if got is None:
        got = []
        for term in re.findall(r"[+-]?[^+-]+", text.replace(" ", "")):
            sign = -1 if term.startswith("-") else 1
            term = term.lstrip("+-")
            r = _register(term)
            if r:
                got.append((sign, r, term.endswith(".64") or term.endswith(".U64"), 0))
            else:
                got.append((sign, None, False, int(term, 16)))
        _memo_addr[text] = got
    return got


def _operand(text, float_op):
    key = (text, float_op)
    got = _memo_op.get(key)
    if got is not None:
        return got
    neg = absolute = inv = False
    t = text.replace(".reuse", "")
    if t.startswith("-") and not re.match(r"-[0-9.]", t) and not t.upper().startswith("-INF"):
        neg, t = True, t[1:]
    if t.startswith("~"):
        inv, t = True, t[1:]
    if t.startswith("|") and t.endswith("|"):
        absolute, t = True, t[1:-1]
    t = t.replace(".reuse", "")
    r = _register(t)
    if r:
        got = ("reg", r[0], r[1], neg, absolute, inv, ".H1" in t)
    elif t.startswith("c["):
        got = ("const", t, None, neg, absolute, inv, False)
    elif t.startswith("PT") or t.startswith("!") or re.match(r"^U?P\d", t):
        got = ("pred", None, None, False, False, False, False)
    elif re.match(r"^-?0x", t):
        got = ("imm", int(t, 16) & MASK, None, neg, absolute, inv, False)
    elif re.match(r"^[-+]?(\d|INF|QNAN|NAN)", t, re.I) and (float_op or "." in t or "e" in t.lower() or "INF" in t.upper()):
        got = ("imm", bits(float_immediate(t)), None, neg, absolute, inv, False)
    elif re.match(r"^-?\d+$", t):
        got = ("imm", int(t) & MASK, None, neg, absolute, inv, False)
    else:
        raise EmulationError(f"operand {text}")
    _memo_op[key] = got
    return got


# ---- the thread ------------------------------------------------------------------------

class Thread:
    def __init__(self, program, memory, bank0, specials, shared=None, thread=0):
        self.p = program
        self.mem = memory
        self.bank0 = bank0  # bytes
        self.specials = specials
        self.shared = shared if shared is not None else SharedMemory(0)
        self.thread = thread  # the linear index in the block
        self.lane = thread % 32
        self.pc = program.order[0]
        self.done = False
        self.r = [0] * 256
        self.ur = [0] * 64
        self.pr = [False] * 8
        self.upr = [False] * 8
        self.count = 0
        self.trace = []  # addresses executed, in order
        self.accesses = []  # (address of the instruction, byte address, width, "load"/"store")
        self.shared_accesses = []  # the same of shared memory

    # -- operands (parsed once per text, see _operand) --
    def reg(self, text):
        """(file, index) of a register operand's name, or None."""
        return _register(text)

    def get_reg(self, kind, k):
        if kind == "R":
            return 0 if k == 255 else self.r[k]
        return 0 if k == 63 else self.ur[k]

    def set_reg(self, kind, k, v):
        if kind == "R":
            if k != 255:
                self.r[k] = v & MASK
        elif k != 63:
            self.ur[k] = v & MASK

    def pred(self, text):
        neg, kind, k = _predicate(text)
        v = True if kind is None else self.upr[k] if kind == "UP" else self.pr[k]
        return v != neg

    def set_pred(self, text, v):
        neg, kind, k = _predicate(text)
        if kind == "UP":
            self.upr[k] = bool(v)
        elif kind == "P":
            self.pr[k] = bool(v)

    def const(self, text):
        bank, offset_text = _constant(text)
        offset = self.address_of(offset_text)
        data = self.bank0 if bank == 0 else self.p.bank2 if bank == 2 else self.p.bank4 if bank == 4 else None
        if data is None:
            raise EmulationError(f"constant bank {bank}")
        return data, offset

    def address_of(self, text):
        """The value of an address expression R2.64+0x10, UR4+R3, 0x20."""
        total = 0
        for sign, r, wide, number in _address(text):
            if r is None:
                total += sign * number
            else:
                lo = self.get_reg(*r)
                if wide:
                    lo |= self.get_reg(r[0], r[1] + 1) << 32
                total += sign * lo
        return total

    def value(self, text, float_op=False):
        """The 32-bit value of a source operand."""
        kind, a, b, neg, absolute, inv, high = _operand(text, float_op)
        if kind == "reg":
            v = self.get_reg(a, b)
            if high:
                v >>= 16
        elif kind == "imm":
            v = a
        elif kind == "const":
            data, off = self.const(a)
            v = struct.unpack_from("<I", data, off)[0] if off + 4 <= len(data) else 0
        else:  # a predicate as a value
            return int(self.pred(text))
        if inv:
            v = ~v & MASK
        if float_op:
            if absolute:
                v &= 0x7FFFFFFF
            if neg:
                v ^= 0x80000000
        else:
            if absolute:
                v = abs(s32(v)) & MASK
            if neg:
                v = (-v) & MASK
        return v

    def fval(self, text):
        return np.float32(f32(self.value(text, True)))

    def dest(self, text, v):
        r = self.reg(text.replace(".reuse", ""))
        if r is None:
            raise EmulationError(f"destination {text}")
        self.set_reg(*r, v)

    def dest64(self, text, v):
        kind, k = self.reg(text)
        self.set_reg(kind, k, v & MASK)
        if not ((kind == "R" and k == 255) or (kind == "UR" and k == 63)):
            self.set_reg(kind, k + 1, (v >> 32) & MASK)

    def pair(self, text):
        kind, k = self.reg(text.lstrip("-~").replace(".reuse", ""))
        if (kind == "R" and k == 255) or (kind == "UR" and k == 63):
            return 0
        return self.get_reg(kind, k) | self.get_reg(kind, k + 1) << 32

    # -- run --
    def run(self, limit=2_000_000):
        """Runs until the thread exits ("exit") or reaches a barrier ("barrier"; run again to go on)."""
        pc = self.pc
        while True:
            ins = self.p.code.get(pc)
            if ins is None:
                raise EmulationError(f"no instruction at {pc:#x}")
            if ins.op == "NOP":
                pc = self.p.next[pc]
                continue
            self.count += 1
            self.trace.append(pc)
            if self.count > limit:
                raise EmulationError("instruction limit reached")
            live = True
            if ins.guard is not None:
                live = self.pred(("!" if ins.negate else "") + ins.guard)
            nxt = self.p.next.get(pc)
            if live:
                jump = self.execute(ins)
                if jump == "exit":
                    self.done = True
                    return "exit"
                if jump == "barrier":
                    self.pc = nxt
                    return "barrier"
                if jump is not None:
                    nxt = jump
            pc = nxt

    def execute(self, ins):
        op, mods, o = ins.op, ins.mods, ins.operands
        uniform = op.startswith("U") and op not in ("UMOV",) and op[1:] in _SHARED
        if op == "UMOV":
            op = "MOV"
        elif uniform:
            op = op[1:]
        fn = getattr(self, "op_" + op, None)
        if fn is None:
            raise EmulationError(f"unknown instruction {ins.text}")
        return fn(ins, mods, o)

    # -- control --
    def op_EXIT(self, ins, mods, o):
        return "exit"

    def op_BRA(self, ins, mods, o):
        if ins.target is None:
            raise EmulationError(f"branch without target: {ins.text}")
        if o and o[0] and not o[0].startswith("0x"):  # BRA.DIV / conditional on a uniform predicate
            if re.match(r"!?U?P", o[0]) and not self.pred(o[0]):
                return None
        return ins.target

    def op_BRX(self, ins, mods, o):
        target = self.value(o[0]) + int(o[1], 16) + self.p.next[ins.address] if len(o) > 1 else self.value(o[0])
        if ins.targets and target not in ins.targets:
            raise EmulationError(f"indirect branch to {target:#x}, not one of its targets")
        return target

    def op_CALL(self, ins, mods, o):
        return ins.target

    def op_RET(self, ins, mods, o):
        return self.value(o[0])

    def op_BSSY(self, ins, mods, o):
        return None

    op_BSYNC = op_BREAK = op_WARPSYNC = op_DEPBAR = op_YIELD = op_BMOV = op_NANOSLEEP = op_MEMBAR = op_BSSY

    def op_BAR(self, ins, mods, o):
        # __syncthreads(): BAR.SYNC 0x0 (the whole block); barriers counting fewer threads,
        # arrive-only and reducing forms are not modelled.
        if "SYNC" not in mods or o != ["0x0"]:
            raise EmulationError(f"barrier form not modelled: {ins.text}")
        return "barrier"

    # -- moves --
    def op_MOV(self, ins, mods, o):
        self.dest(o[0], self.value(o[1]))

    def op_S2R(self, ins, mods, o):
        self.dest(o[0], self.specials[o[1]])

    op_S2UR = op_S2R

    def op_CS2R(self, ins, mods, o):
        if o[1] != "SRZ":
            raise EmulationError(ins.text)
        self.dest64(o[0], 0) if "32" not in mods else self.dest(o[0], 0)

    def op_R2UR(self, ins, mods, o):
        self.dest(o[0], self.value(o[1]))

    def op_LDC(self, ins, mods, o):
        data, off = self.const(o[1])
        width = 8 if "64" in mods else 4
        raw = data[off: off + width] if off + width <= len(data) else bytes(width)
        if width == 8:
            self.dest64(o[0], struct.unpack("<Q", raw)[0])
        else:
            self.dest(o[0], struct.unpack("<I", raw)[0])

    def op_HFMA2(self, ins, mods, o):
        # Only the MMA form that builds a constant: -RZ * RZ + (hi, lo).
        if o[1] not in ("-RZ", "RZ") or o[2] != "RZ" or len(o) != 5:
            raise EmulationError(ins.text)
        self.dest(o[0], half_bits(o[3]) << 16 | half_bits(o[4]))

    def op_SEL(self, ins, mods, o):
        self.dest(o[0], self.value(o[1]) if self.pred(o[3]) else self.value(o[2]))

    def op_FSEL(self, ins, mods, o):
        self.dest(o[0], self.value(o[1], True) if self.pred(o[3]) else self.value(o[2], True))

    def op_P2R(self, ins, mods, o):
        mask = self.value(o[3])
        packed = sum(1 << k for k in range(7) if self.pr[k])
        self.dest(o[0], (self.value(o[2]) & ~mask) | (packed & mask))

    def op_R2P(self, ins, mods, o):
        v, mask = self.value(o[1]), self.value(o[2])
        for k in range(7):
            if mask >> k & 1:
                self.pr[k] = bool(v >> k & 1)

    # -- integers --
    def op_IMAD(self, ins, mods, o):
        d = o[0]
        if "WIDE" in mods:
            a, b = self.value(o[1]), self.value(o[2])
            if "U32" not in mods:
                a, b = s32(a), s32(b)
            self.dest64(d, a * b + self.pair(o[3]))
            return
        a, b, c = self.value(o[1]), self.value(o[2]), self.value(o[3])
        if "HI" in mods:
            if "U32" not in mods:
                a, b = s32(a), s32(b)
            # The addend is a register pair: the high word of a * b + c (64 bits).
            carry = int(self.pred(o[4])) if len(o) > 4 else 0
            self.dest(d, ((a * b + self.pair(o[3])) >> 32) + carry)
            return
        if "X" in mods:
            carry = int(self.pred(o[4])) if len(o) > 4 else 0
            self.dest(d, a * b + c + carry)
            return
        self.dest(d, a * b + c)

    def op_IADD3(self, ins, mods, o):
        d, rest = o[0], o[1:]
        outs = []
        while rest and re.match(r"^!?U?P[T0-9]$", rest[0]) and len(rest) > 3:
            outs.append(rest.pop(0))
        a, b, c = (self._addend(t) for t in rest[:3])
        total = a + b + c
        if "X" in mods:
            total += sum(int(self.pred(t)) for t in rest[3:5])
        self.dest(d, total)
        if outs:
            self.set_pred(outs[0], total >> 32 & 1 if total >= 0 else 0)
            if len(outs) > 1:
                self.set_pred(outs[1], total >> 33 & 1 if total >= 0 else 0)

    def _addend(self, text):
        """An IADD3 source as the hardware adds it: -x as ~x + 1 (whose carry counts)."""
        if text.startswith("-") and self.reg(text[1:].replace(".reuse", "")):
            return (~self.value(text[1:]) & MASK) + 1
        return self.value(text)

    def op_VIADD(self, ins, mods, o):
        self.dest(o[0], self.value(o[1]) + self.value(o[2]))

    def op_IABS(self, ins, mods, o):
        self.dest(o[0], abs(s32(self.value(o[1]))))

    def _minmax(self, a, b, use_min, unsigned):
        if not unsigned:
            a, b = s32(a), s32(b)
        return min(a, b) if use_min else max(a, b)

    @staticmethod
    def _relu(value, mods):
        """.RELU: a signed result below zero is zero (a clamp to 0..n is a min with .RELU)."""
        return max(value, 0) if "RELU" in mods else value

    def op_IMNMX(self, ins, mods, o):
        m = self._minmax(self.value(o[1]), self.value(o[2]), self.pred(o[3]), "U32" in mods)
        self.dest(o[0], self._relu(m, mods))

    op_VIMNMX = op_IMNMX

    def op_VIMNMX3(self, ins, mods, o):
        u = "U32" in mods
        m = self._minmax(self.value(o[1]), self.value(o[2]), self.pred(o[4]), u)
        self.dest(o[0], self._relu(self._minmax(m & MASK, self.value(o[3]), self.pred(o[4]), u), mods))

    def op_VIADDMNMX(self, ins, mods, o):
        s = (self.value(o[1]) + self.value(o[2])) & MASK
        self.dest(o[0], self._relu(self._minmax(s, self.value(o[3]), self.pred(o[4]), "U32" in mods), mods))

    def op_LOP3(self, ins, mods, o):
        outs = []
        rest = list(o)
        if re.match(r"^U?P[T0-9]$", rest[0]):
            outs.append(rest.pop(0))
        d = rest.pop(0)
        a, b, c = (self.value(t) for t in rest[:3])
        lut = self.value(rest[3])
        v = 0
        for k in range(32):
            idx = (a >> k & 1) << 2 | (b >> k & 1) << 1 | (c >> k & 1)
            v |= (lut >> idx & 1) << k
        self.dest(d, v)
        if outs:
            self.set_pred(outs[0], v != 0)

    def op_PLOP3(self, ins, mods, o):
        a, b, c = (self.pred(t) for t in o[2:5])
        lut1, lut2 = int(o[5], 16), int(o[6], 16)
        idx = int(a) << 2 | int(b) << 1 | int(c)
        self.set_pred(o[0], lut1 >> idx & 1)
        self.set_pred(o[1], lut2 >> idx & 1)

    def op_SHF(self, ins, mods, o):
        # A funnel shift of the 64-bit pair hi:lo; .HI keeps the high word of the result, else
        # the low one. 32-bit forms take the count modulo 32 (.W) or clamped to 32.
        d, lo, count, hi = o[0], self.value(o[1]), self.value(o[2]), self.value(o[3])
        right = "R" in mods
        if "U64" in mods or "S64" in mods:
            full = hi << 32 | lo
            if "S64" in mods and hi >> 31:
                full -= 1 << 64
            sh = count & 0x3F
            res = full >> sh if right else full << sh
            self.dest(d, res >> 32 if "HI" in mods else res)
            return
        sh = count & 31 if "W" in mods else min(count, 32)
        full = (s32(hi) if "S32" in mods else hi) << 32 | lo
        res = full >> sh if right else full << sh
        self.dest(d, res >> 32 if "HI" in mods else res)

    def op_LEA(self, ins, mods, o):
        rest = list(o)
        d = rest.pop(0)
        outs = []
        while rest and re.match(r"^U?P[T0-9]$", rest[0]) and len(rest) > 3:
            outs.append(rest.pop(0))
        if "HI" in mods:
            if "SX32" in mods:  # d = b + (sext(a) << s) >> 32 (+ carry)
                a = s32(self.value(rest[0]))
                b = self.value(rest[1])
                s = self.value(rest[2])
                carry = int(self.pred(rest[3])) if len(rest) > 3 and "X" in mods else 0
                self.dest(d, b + ((a << s) >> 32) + carry)
                return
            a, b, c, s = self.value(rest[0]), self.value(rest[1]), self.value(rest[2]), self.value(rest[3])
            carry = int(self.pred(rest[4])) if len(rest) > 4 and "X" in mods else 0
            self.dest(d, b + (((c << 32 | a) << s) >> 32) + carry)
            return
        a, b, s = self.value(rest[0]), self.value(rest[1]), self.value(rest[2])
        total = ((a << s) & MASK) + b
        self.dest(d, total)
        if outs:
            self.set_pred(outs[0], total >> 32 & 1)

    def op_ISETP(self, ins, mods, o):
        cmp_, = [m for m in mods if m in ("LT", "LE", "GT", "GE", "EQ", "NE")]
        unsigned = "U32" in mods
        a, b = self.value(o[2]), self.value(o[3])
        if "EX" in mods:
            # High words; equal high words take the low words' result (the last predicate).
            low = self.pred(o[5])
            ah, bh = (a, b) if unsigned else (s32(a), s32(b))
            if ah == bh:
                r = low
            else:
                r = _compare(cmp_, ah, bh)
        else:
            r = _compare(cmp_, a, b) if unsigned else _compare(cmp_, s32(a), s32(b))
        self._combine(mods, o, r)

    def _combine(self, mods, o, r):
        c = self.pred(o[4])
        if "AND" in mods:
            v = r and c
        elif "OR" in mods:
            v = r or c
        else:
            v = r != c
        self.set_pred(o[0], v)
        if o[1] not in ("PT", "UPT"):  # the second destination: the complement combined
            nr = not r
            self.set_pred(o[1], (nr and c) if "AND" in mods else (nr or c) if "OR" in mods else nr != c)

    # -- floats --
    def op_FADD(self, ins, mods, o):
        self.dest(o[0], bits(np.float32(self.fval(o[1]) + self.fval(o[2]))))

    def op_FMUL(self, ins, mods, o):
        self.dest(o[0], bits(np.float32(self.fval(o[1]) * self.fval(o[2]))))

    def op_FFMA(self, ins, mods, o):
        a, b, c = (float(self.fval(t)) for t in o[1:4])
        with np.errstate(all="ignore"):
            self.dest(o[0], bits(np.float32(a * b + c)))

    # -- doubles (round to nearest: the products and sums Python's floats make) --
    def dval(self, text):
        """The float64 value of a source operand: a register pair, a constant's 8 bytes, or an
        immediate (a hex one holds the double's high word)."""
        kind, a, b, neg, absolute, _, _ = _operand(text, False)
        if kind == "reg":
            raw = self.pair(f"{a}{b}" if a != "R" or b != 255 else "RZ")
        elif kind == "const":
            data, off = self.const(a)
            raw = struct.unpack_from("<Q", data, off)[0] if off + 8 <= len(data) else 0
        elif kind == "imm" and text.lstrip("-").startswith("0x"):
            raw = a << 32
        elif kind == "imm":
            return float(float_immediate(text))
        else:
            raise EmulationError(f"operand {text}")
        v = struct.unpack("<d", struct.pack("<Q", raw))[0]
        if absolute:
            v = abs(v)
        return -v if neg else v

    def _double_dest(self, ins, mods, text, v):
        if set(mods) & {"RZ", "RM", "RP"}:
            raise EmulationError(ins.text)  # only rounding to nearest is modelled
        self.dest64(text.replace(".reuse", ""), struct.unpack("<Q", struct.pack("<d", v))[0])

    def op_DADD(self, ins, mods, o):
        self._double_dest(ins, mods, o[0], self.dval(o[1]) + self.dval(o[2]))

    def op_DMUL(self, ins, mods, o):
        self._double_dest(ins, mods, o[0], self.dval(o[1]) * self.dval(o[2]))

    def op_F2F(self, ins, mods, o):
        # Between float32 and float64 (the first format the destination's); others are not modelled.
        if mods[:2] == ["F64", "F32"]:
            self._double_dest(ins, mods, o[0], float(self.fval(o[1])))
        elif mods[:2] == ["F32", "F64"] and not set(mods) & {"RZ", "RM", "RP", "FTZ"}:
            with np.errstate(all="ignore"):
                self.dest(o[0], bits(np.float32(self.dval(o[1]))))
        else:
            raise EmulationError(ins.text)

    def op_FMNMX(self, ins, mods, o):
        a, b = float(self.fval(o[1])), float(self.fval(o[2]))
        use_min = self.pred(o[3])
        if math.isnan(a):
            v = b
        elif math.isnan(b):
            v = a
        else:
            v = min(a, b) if use_min else max(a, b)
        self.dest(o[0], bits(v))

    def op_FSETP(self, ins, mods, o):
        cmp_, = [m for m in mods if m in _FCMP]
        a, b = float(self.fval(o[2])), float(self.fval(o[3]))
        self._combine(mods, o, _fcompare(cmp_, a, b))

    def op_FRND(self, ins, mods, o):
        a = float(self.fval(o[1]))
        if math.isfinite(a):
            a = math.floor(a) if "FLOOR" in mods else math.ceil(a) if "CEIL" in mods else math.trunc(a) if "TRUNC" in mods else round(a)
        self.dest(o[0], bits(a))

    def op_F2I(self, ins, mods, o):
        a = float(self.fval(o[1]))
        unsigned = "U32" in mods
        if math.isnan(a):
            v = 0
        else:
            if math.isfinite(a):
                a = math.floor(a) if "FLOOR" in mods else math.ceil(a) if "CEIL" in mods else math.trunc(a) if "TRUNC" in mods else round(a)
            # Clamped to the destination format's range (F2I.U16 of -3.0 is 0, not 0xFFFD).
            lo, hi = next((r for m, r in _F2I_RANGES.items() if m in mods),
                          (0, MASK) if unsigned else (-(1 << 31), (1 << 31) - 1))
            v = int(min(max(a, lo), hi))
        self.dest(o[0], v)

    def op_F2IP(self, ins, mods, o):
        # Float to a narrow unsigned integer, to nearest (ties to even), clamped, NaN to 0;
        # only the one-value form (the packed second source and merge operand RZ).
        if o[1] != "RZ" or o[3] != "RZ" or not ({"U8", "U16"} & set(mods)):
            raise EmulationError(ins.text)
        a = float(self.fval(o[2]))
        hi = 255 if "U8" in mods else 65535
        self.dest(o[0], 0 if math.isnan(a) else int(min(max(round(a) if math.isfinite(a) else a, 0), hi)))

    def op_I2F(self, ins, mods, o):
        if "S64" in mods or "U64" in mods:
            v = self.pair(o[1])
            if "S64" in mods and v >> 63:
                v -= 1 << 64
        else:
            v = self.value(o[1])
            m = re.search(r"\.B([0-3])$", o[1])  # a byte of the register (I2F.U8 R0, R1.B2)
            if m:
                v >>= 8 * int(m.group(1))
            if "U8" in mods:  # the source's low byte or half
                v &= 0xFF
            elif "U16" in mods:
                v &= 0xFFFF
            if "U32" not in mods and "U16" not in mods and "U8" not in mods:
                v = s32(v)
        self.dest(o[0], bits(float(v)))

    def op_I2FP(self, ins, mods, o):
        v = self.value(o[1])
        self.dest(o[0], bits(float(v if "U32" in mods else s32(v))))

    def op_MUFU(self, ins, mods, o):
        a = float(self.fval(o[1]))
        fn = mods[0]
        try:
            if fn == "RCP":
                v = 1.0 / a if a else math.copysign(math.inf, a)
            elif fn == "RSQ":
                v = 1.0 / math.sqrt(a) if a > 0 else (math.inf if a == 0 else math.nan)
            elif fn == "SQRT":
                v = math.sqrt(a) if a >= 0 else math.nan
            elif fn == "SIN":
                v = math.sin(a)
            elif fn == "COS":
                v = math.cos(a)
            elif fn == "EX2":
                v = 2.0 ** a
            elif fn == "LG2":
                v = math.log2(a) if a > 0 else (-math.inf if a == 0 else math.nan)
            else:
                raise EmulationError(ins.text)
        except (OverflowError, ValueError):
            v = math.inf if fn == "EX2" else math.nan
        self.dest(o[0], bits(v))

    def op_FCHK(self, ins, mods, o):
        # Whether a / b needs the slow path: operands out of the range where
        # the reciprocal and one Newton step give the rounded quotient.
        a, b = float(self.fval(o[1])), float(self.fval(o[2]))
        slow = not (math.isfinite(a) and math.isfinite(b)) or b == 0
        if not slow and a:
            ea, eb = math.frexp(a)[1], math.frexp(b)[1]
            slow = abs(eb) > 125 or not -125 < ea - eb < 125 or abs(ea) > 125
        elif not slow:
            slow = abs(math.frexp(b)[1]) > 125
        self.set_pred(o[0], slow)

    # -- memory --
    def op_LDG(self, ins, mods, o):
        width, signed = _width(mods)
        address = self.address_of(o[1].split("]", 1)[1].strip("[]") if o[1].startswith("desc") else o[1].strip("[]"))
        if ins.op == "LD" and address >> 32 == SHARED_WINDOW:  # a generic load from shared memory
            self._load_into(o[0], self._shared_read(ins, address & MASK, width), width, signed)
            return
        raw = self.mem.read(address, width)
        self.accesses.append((ins.address, address, width, "load"))
        self._load_into(o[0], raw, width, signed)

    op_LD = op_LDG

    def op_STG(self, ins, mods, o):
        width, _ = _width(mods)
        address = self.address_of(o[0].split("]", 1)[1].strip("[]") if o[0].startswith("desc") else o[0].strip("[]"))
        raw = self._stored(o[1], width)
        if ins.op == "ST" and address >> 32 == SHARED_WINDOW:  # a generic store to shared memory
            self._shared_write(ins, address & MASK, raw)
            return
        self.mem.write(address, raw)
        self.accesses.append((ins.address, address, width, "store"))

    op_ST = op_STG

    def op_LDS(self, ins, mods, o):
        width, signed = _width(mods)
        self._load_into(o[0], self._shared_read(ins, self.address_of(o[1].strip("[]")), width), width, signed)

    def op_STS(self, ins, mods, o):
        width, _ = _width(mods)
        self._shared_write(ins, self.address_of(o[0].strip("[]")), self._stored(o[1], width))

    def _shared_read(self, ins, address, width):
        raw = self.shared.read(address, width, self.thread)
        self.shared_accesses.append((ins.address, address, width, "load"))
        return raw

    def _shared_write(self, ins, address, raw):
        self.shared.write(address, raw, self.thread)
        self.shared_accesses.append((ins.address, address, len(raw), "store"))

    def _stored(self, text, width):
        """The bytes a store of `width` writes from its source register(s)."""
        kind, k = self.reg(text.replace(".reuse", ""))
        words = [self.get_reg(kind, k + i) if (kind, k) not in (("R", 255), ("UR", 63)) else 0
                 for i in range(max(1, width // 4))]  # fmt: skip
        return b"".join(struct.pack("<I", w) for w in words)[:width]

    def _load_into(self, dest, raw, width, signed):
        kind, k = self.reg(dest)
        if width < 4:
            v = int.from_bytes(raw, "little", signed=signed)
            self.set_reg(kind, k, v)
            return
        for i in range(width // 4):
            self.set_reg(kind, k + i, struct.unpack_from("<I", raw, 4 * i)[0])

    def op_PRMT(self, ins, mods, o):
        a, sel, b = self.value(o[1]), self.value(o[2]), self.value(o[3])
        source = (b << 32 | a).to_bytes(8, "little")
        v = 0
        for k in range(4):
            s = sel >> (4 * k) & 0xF
            byte = source[s & 7]
            if s & 8:
                byte = 0xFF if byte & 0x80 else 0
            v |= byte << (8 * k)
        self.dest(o[0], v)

    def op_HADD2(self, ins, mods, o):
        if "F32" not in mods:
            raise EmulationError(ins.text)
        t = o[2]
        v = self.value(t.split(".")[0].lstrip("-"))
        half = v >> 16 if ".H1" in t else v & 0xFFFF
        self.dest(o[0], bits(float(np.array([half], dtype=np.uint16).view(np.float16)[0])))

    def op_F2FP(self, ins, mods, o):
        a, b = float(self.fval(o[1])), float(self.fval(o[2]))
        h = lambda x: int(np.array([x], dtype=np.float16).view(np.uint16)[0])  # noqa: E731
        self.dest(o[0], h(a) << 16 | h(b))

    def op_POPC(self, ins, mods, o):
        self.dest(o[0], bin(self.value(o[1])).count("1"))

    def op_FLO(self, ins, mods, o):
        v = self.value(o[1])
        if "U32" not in mods and v >> 31:
            v = ~v & MASK
        self.dest(o[0], v.bit_length() - 1 if v else MASK)


_SHARED = {"IADD3", "IMAD", "LEA", "LOP3", "SHF", "SEL", "ISETP", "PLOP3", "LDC", "MOV", "S2R", "PRMT"}
_FCMP = ("LT", "LE", "GT", "GE", "EQ", "NE", "LTU", "LEU", "GTU", "GEU", "EQU", "NEU", "NUM", "NAN")


def _compare(c, a, b):
    return {"LT": a < b, "LE": a <= b, "GT": a > b, "GE": a >= b, "EQ": a == b, "NE": a != b}[c]


def _fcompare(c, a, b):
    unordered = math.isnan(a) or math.isnan(b)
    if c == "NUM":
        return not unordered
    if c == "NAN":
        return unordered
    if c.endswith("U"):
        return unordered or _compare(c[:-1], a, b)
    return not unordered and _compare(c, a, b)


def _width(mods):
    for m, w, s in (("U8", 1, False), ("S8", 1, True), ("U16", 2, False), ("S16", 2, True),
                    ("64", 8, False), ("128", 16, False)):  # fmt: skip
        if m in mods:
            return w, s
    return 4, False


# ---- launches --------------------------------------------------------------------------


def pack_params(types, values):
    """Constant bank 0 with the launch's parameters at PARAM_BASE: (type, value) by C type."""
    out = bytearray(PARAM_BASE)
    for t, v in zip(types, values):
        t = t.strip()
        if t.endswith("*") or t in ("long long", "unsigned long long", "long", "double"):
            size, fmt = 8, "<d" if t == "double" else "<q"
        elif t == "float":
            size, fmt = 4, "<f"
        elif t in ("int", "unsigned int", "bool"):
            size, fmt = 4, "<i" if t != "unsigned int" else "<I"
        else:
            raise EmulationError(f"parameter type {t}")
        while len(out) % size:
            out.append(0)
        out += struct.pack(fmt, v)
    return bytes(out)


def geometry(bank, grid, block):
    """Bank 0 with the block and grid sizes at 0x0 .. 0x14."""
    head = struct.pack("<6I", *block, *grid)
    bank = bytearray(bank)
    bank[0: len(head)] = head
    bank[0x28:0x2C] = struct.pack("<I", 0xFFFC00)  # the initial stack pointer
    return bytes(bank)


def _thread(program, memory, bank, block, block_idx, linear, shared):
    """A thread of a block, by its linear index, ready to run."""
    bx, by, _ = block
    tid = (linear % bx, linear // bx % by, linear // (bx * by))
    specials = {"SR_TID.X": tid[0], "SR_TID.Y": tid[1], "SR_TID.Z": tid[2],
                "SR_CTAID.X": block_idx[0], "SR_CTAID.Y": block_idx[1], "SR_CTAID.Z": block_idx[2],
                "SR_LANEID": linear % 32, "SR_CgaCtaId": 0, "SR_SWINHI": SHARED_WINDOW, "SRZ": 0}  # fmt: skip
    return Thread(program, memory, bank, specials, shared, thread=linear)


def _executions(records, pc=lambda record: record[0]):
    """((pc, k), record) of one thread's records in order: the k-th execution of the instruction at pc."""
    seen = Counter()
    for record in records:
        at = pc(record)
        yield (at, seen[at]), record
        seen[at] += 1


def _merge(threads):
    """(issued instructions, [(kind, sectors)] of each global access issue, [(kind, wavefronts)] of
    each shared access issue) of one warp's threads: lanes sharing an instruction's k-th execution
    share its issue."""
    issues = {key for t in threads for key, _ in _executions(t.trace, lambda pc: pc)}
    groups = {}
    for t in threads:
        for key, (_, address, width, kind) in _executions(t.accesses):
            groups.setdefault(key, (kind, set()))[1].update(range(address // 32, (address + width - 1) // 32 + 1))
    shared = {}
    for t in threads:
        for key, (_, address, width, kind) in _executions(t.shared_accesses):
            shared.setdefault(key, (kind, []))[1].append((t.lane, address, width))
    return (len(issues), [(kind, len(s)) for kind, s in groups.values()],
            [(kind, wavefronts(lanes)) for kind, lanes in shared.values()])  # fmt: skip


def warp_counts(program, memory, bank, grid, block, block_idx, warp, shared_end=0):
    """(issued instructions, [(kind, sectors)] of each global access issue, [(kind, wavefronts)] of
    each shared access issue, per-lane threads) of one warp of a kernel without barriers, its lanes
    run one after another (the block's shared memory fresh, `shared_end` bytes)."""
    shared = SharedMemory(shared_end)
    threads = []
    for linear in range(warp * 32, min(warp * 32 + 32, block[0] * block[1] * block[2])):
        t = _thread(program, memory, bank, block, block_idx, linear, shared)
        if t.run() != "exit":
            raise EmulationError("a barrier in a kernel run warp by warp (block_counts runs such kernels)")
        threads.append(t)
    return (*_merge(threads), threads)


def block_counts(program, memory, bank, grid, block, block_idx, shared_end=0):
    """warp_counts' figures of every warp of one block, its threads run together: each runs to its
    next barrier or its exit, then all go on, until every thread has exited."""
    shared = SharedMemory(shared_end)
    size = block[0] * block[1] * block[2]
    threads = [_thread(program, memory, bank, block, block_idx, linear, shared) for linear in range(size)]
    while [t for t in threads if not t.done and t.run() == "barrier"]:
        shared.epoch += 1
    return [(*_merge(threads[w: w + 32]), threads[w: w + 32]) for w in range(0, size, 32)]
