package fr.belcour.quillet.io.tls.zpk;

import java.io.FileDescriptor;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.InterruptedIOException;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;

/**
 * Opens a scan, pulls every shot and prints it, then a summary.
 * Exit status: 0 read to the end, 1 open, read or write failure, 2 bad usage,
 * 141 standard output closed by its reader.
 */
public final class ScanSummary {
    static final String USAGE = String.join("\n",
        "usage: ScanSummary [-r] [-d] [-a] [-t] [-q] [-h] SCAN",
        "Reads SCAN: one line per shot, then a summary line.",
        "SCAN is one of:",
        "  PATH                     a scan file (relative to the current directory)",
        "  file:PATH                the same",
        "  quvo://HOST:PORT/STREAM  a stream from a quvo server over TCP; the path and",
        "                           ?KEY=VALUE;... items make the request sent to it",
        "  quda://[ADDRESS:]PORT    the scan's UDP datagrams, received on that local",
        "                           address (default 0.0.0.0) and port (default 20001)",
        "Options (several may share one word, as -rdat):",
        "  -r          add each echo's reflectance (dB)",
        "  -d          add each echo's pulse-shape deviation",
        "  -a          add each echo's amplitude",
        "  -t          add each echo's time (s, its shot's time)",
        "  -q          print the summary line only",
        "  -h, --help  print this help",
        "Exit status: 0 read to the end, 1 cannot open or read the scan or write the",
        "output, 2 bad usage, 141 the output was closed (as by | head) and reading stopped.");

    /** The exit status of a tool that its closed output stopped, as SIGPIPE gives in a shell. */
    static final int OUTPUT_CLOSED = 128 + 13;

    public static void main(String[] args) {
        System.exit(run(args));
    }

    static int run(String[] args) {
        List<Integer> codes = new ArrayList<>();
        boolean quiet = false;
        String uri = null;
        for (String a : args) {
            if (a.equals("--help")) {
                return help();
            }
            if (a.startsWith("-")) {
                // Short options, one or several in one word (-rdat).
                if (a.length() == 1)
                    return usageError("unknown option " + a);
                for (int i = 1; i < a.length(); ++i) {
                    switch (a.charAt(i)) {
                        case 'r': codes.add(ZpkExtraction.EXPORT_REFLECTANCE); break;
                        case 'd': codes.add(ZpkExtraction.EXPORT_DEVIATION); break;
                        case 'a': codes.add(ZpkExtraction.EXPORT_AMPLITUDE); break;
                        case 't': codes.add(ZpkExtraction.EXPORT_TIME); break;
                        case 'q': quiet = true; break;
                        case 'h':
                            return help();
                        default:
                            return usageError("unknown option " + (a.startsWith("--") ? a : "-" + a.charAt(i)));
                    }
                }
                continue;
            }
            if (uri != null)
                return usageError("more than one scan given");
            uri = a;
        }
        if (uri == null)
            return usageError("no scan given");
        int[] exports = codes.stream().mapToInt(Integer::intValue).toArray();

        ZpkExtraction zpk;
        try {
            zpk = new ZpkExtraction();
        } catch (LinkageError e) {
            System.err.println("error: cannot load the native library: " + oneLine(e.getMessage(), e));
            return 1;
        }
        LineOutput out = new LineOutput(new FileOutputStream(FileDescriptor.out).getChannel());
        long handle = zpk.instantiate();
        boolean connected = false;
        try {
            if (zpk.open(handle, uri, exports) != 0) {
                System.err.println("error: cannot open " + uri + openFailure(uri));
                return 1;
            }
            connected = true;
            long shots = 0, echoes = 0;
            double first = Double.NaN, last = Double.NaN, minRange = Double.POSITIVE_INFINITY, maxRange = 0;
            String failure = null;
            try {
                for (Shot s; (s = zpk.getNextShot(handle)) != null; ++shots) {
                    if (!quiet)
                        out.println(format(shots, s));
                    if (shots == 0)
                        first = s.time;
                    last = s.time;
                    echoes += s.nbEchos;
                    for (double r : s.ranges) {
                        minRange = Math.min(minRange, r);
                        maxRange = Math.max(maxRange, r);
                    }
                }
            } catch (RuntimeException e) {
                // The library's failure while reading: what was read so far still counts.
                failure = "cannot read " + uri + ": " + libraryMessage(oneLine(e.getMessage(), e));
            }
            connected = false;
            zpk.closeConnexion(handle);
            out.println(String.format(Locale.ROOT, "summary shots=%d echoes=%d", shots, echoes)
                    + (shots > 0 ? String.format(Locale.ROOT, " time=[%.9f, %.9f] s", first, last) : "")
                    + (echoes > 0 ? String.format(Locale.ROOT, " range=[%.4f, %.4f] m", minRange, maxRange) : ""));
            if (failure != null) {
                System.err.println("error: " + failure);
                return 1;
            }
            return 0;
        } catch (IOException e) {
            // Reading on would only feed a reader that has gone, or a full disk.
            return writeFailure(e);
        } finally {
            if (connected)
                zpk.closeConnexion(handle);
            zpk.delete(handle);
        }
    }

    /** The help on standard output, as carefully as the shot lines. */
    private static int help() {
        try {
            new LineOutput(new FileOutputStream(FileDescriptor.out).getChannel()).println(USAGE);
            return 0;
        } catch (IOException e) {
            return writeFailure(e);
        }
    }

    private static int writeFailure(IOException e) {
        if (outputIsPipe() || "Broken pipe".equals(e.getMessage()))
            return OUTPUT_CLOSED;
        System.err.println("error: cannot write the output: " + oneLine(e.getMessage(), e));
        return 1;
    }

    /**
     * Standard output that reports a failed write, which System.out swallows:
     * a reader that has gone (| head) must stop the reading, and a full disk
     * must not pass for success. Each line is written at once, so that a live
     * stream shows its shots as they come. A pipe its reader made non-blocking
     * takes no more while full: the line waits until the reader drains it, as
     * on a blocking pipe, instead of being lost.
     */
    static final class LineOutput {
        /** Longest pause between two tries on a full pipe, in ms. */
        private static final long MAX_PAUSE = 10;
        private final FileChannel out;
        private ByteBuffer bytes = ByteBuffer.allocateDirect(1024);

        LineOutput(FileChannel out) {
            this.out = out;
        }

        /** The line and a line feed; every line the host prints is ASCII. */
        void println(String line) throws IOException {
            int n = line.length();
            if (bytes.capacity() <= n)
                bytes = ByteBuffer.allocateDirect(2 * n);
            bytes.clear();
            for (int i = 0; i < n; ++i)
                bytes.put((byte) line.charAt(i));
            bytes.put((byte) '\n');
            bytes.flip();
            long pause = 1;
            while (bytes.hasRemaining()) {
                // 0 bytes: the descriptor is non-blocking and full (EAGAIN);
                // a reader that has gone fails the write instead (EPIPE).
                if (out.write(bytes) > 0) {
                    pause = 1;
                    continue;
                }
                try {
                    Thread.sleep(pause);
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                    throw new InterruptedIOException("interrupted while the output was full");
                }
                pause = Math.min(2 * pause, MAX_PAUSE);
            }
        }
    }

    /**
     * True when standard output is a pipe or a socket: there a failed write
     * means that the reader has gone, elsewhere it is an error to report. The
     * type comes from /proc, as the message of the failure may be translated.
     */
    static boolean outputIsPipe() {
        try {
            int type = (Integer) Files.getAttribute(Paths.get("/proc/self/fd/1"), "unix:mode") & 0170000;
            return type == 0010000 || type == 0140000;
        } catch (IOException | RuntimeException e) {
            return false;
        }
    }

    private static int usageError(String what) {
        System.err.println("ScanSummary: " + what);
        System.err.println(USAGE);
        return 2;
    }

    private static String oneLine(String message, Throwable e) {
        String m = message == null ? e.getClass().getName() : message;
        return m.replaceAll("\\s*[\\r\\n]+\\s*", " ").trim();
    }

    /** The build details (version, platform, source, line) that lead the library's own errors. */
    private static final java.util.regex.Pattern BUILD_DETAILS =
        java.util.regex.Pattern.compile("^scanlib [^:]* : [^:]* : [^:]* : [0-9]+ : ");

    /** The library's message without the build details its exceptions start with. */
    static String libraryMessage(String text) {
        String m = BUILD_DETAILS.matcher(text).replaceFirst("");
        return m.isEmpty() ? text : m;
    }

    /** The library's text for an address it refuses before it tries it. */
    static final String INVALID_ADDRESS = "Invalid address/service syntax.";

    /**
     * Whether the library takes the service of an address: a service name or
     * a port number up to 65535 (leading zeros allowed); no leading sign, no white
     * space, nothing empty.
     */
    static boolean validService(String service) {
        if (service.isEmpty())
            return false;
        boolean digits = true;
        long port = 0;
        for (int i = 0; i < service.length(); ++i) {
            char c = service.charAt(i);
            if ((i == 0 && (c == '+' || c == '-')) || " \t\n\u000B\f\r".indexOf(c) >= 0)
                return false;
            if (c < '0' || c > '9')
                digits = false;
            else if (digits && port <= 65535)
                port = port * 10 + (c - '0');
        }
        return !digits || port <= 65535;
    }

    /**
     * What the host can see itself of a scan that did not open (the library
     * says nothing): for a file, whether it is there and readable; for a
     * network stream, an address the library refuses as written, else the
     * scheme and the address it was to use.
     */
    static String openFailure(String uri) {
        String scheme = scheme(uri);
        if ("quvo".equals(scheme) || "quda".equals(scheme)) {
            String authority = authority(uri, scheme.length() + 1);
            boolean tcp = scheme.equals("quvo");
            String host = tcp ? "127.0.0.1" : "0.0.0.0", service = "20001";
            if (!authority.isEmpty()) {
                int colon = authority.indexOf(':');
                if (colon >= 0) {
                    host = authority.substring(0, colon);
                    service = authority.substring(colon + 1);
                } else if (tcp) {
                    host = authority;
                } else {
                    service = authority;
                }
            }
            if (host.isEmpty() || !validService(service))
                return ": " + INVALID_ADDRESS;
            return tcp ? ": no quvo stream from the TCP server " + host + ":" + service
                       : ": cannot listen for quda datagrams on the UDP address " + host + ":" + service;
        }
        // Every other text names a file; "file:" is followed by its path as it stands.
        String path = "file".equals(scheme) ? uri.substring(5) : uri;
        Path p;
        try {
            p = Paths.get(path);
        } catch (InvalidPathException e) {
            return ": not a valid file path";
        }
        if (path.isEmpty() || Files.notExists(p))
            return ": the file does not exist";
        if (Files.isDirectory(p))
            return ": it is a directory";
        if (!Files.isReadable(p))
            return ": the file cannot be read";
        return "";
    }

    /** The text before the first of ":/?#" when that is a ':', else null. */
    private static String scheme(String uri) {
        for (int i = 0; i < uri.length(); ++i) {
            char c = uri.charAt(i);
            if (c == ':')
                return uri.substring(0, i);
            if (c == '/' || c == '?' || c == '#')
                return null;
        }
        return null;
    }

    /** The authority after the first "//" at or after from, up to the first of "/?#". */
    private static String authority(String uri, int from) {
        int a = uri.indexOf("//", from);
        if (a < 0)
            return "";
        int end = a + 2;
        while (end < uri.length() && "/?#".indexOf(uri.charAt(end)) < 0)
            ++end;
        return uri.substring(a + 2, end);
    }

    /** One line per shot; doubles in their shortest exact form. */
    static String format(long index, Shot s) {
        StringBuilder b = new StringBuilder();
        b.append("shot ").append(index).append(" echoes=").append(s.nbEchos).append(" time=").append(s.time)
         .append(" origin=").append(s.xOrigin).append(',').append(s.yOrigin).append(',').append(s.zOrigin)
         .append(" direction=").append(s.xDirection).append(',').append(s.yDirection).append(',').append(s.zDirection)
         .append(" ranges=").append(java.util.Arrays.toString(s.ranges));
        if (s.reflectances != null) b.append(" reflectances=").append(java.util.Arrays.toString(s.reflectances));
        if (s.deviations != null) b.append(" deviations=").append(java.util.Arrays.toString(s.deviations));
        if (s.amplitudes != null) b.append(" amplitudes=").append(java.util.Arrays.toString(s.amplitudes));
        if (s.times != null) b.append(" times=").append(java.util.Arrays.toString(s.times));
        return b.toString();
    }
}
