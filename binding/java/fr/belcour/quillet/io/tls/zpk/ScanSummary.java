package fr.belcour.quillet.io.tls.zpk;

import java.io.FileDescriptor;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.OutputStream;
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
        "Options:",
        "  -r          add each echo's reflectance (dB)",
        "  -d          add each echo's pulse-shape deviation",
        "  -a          add each echo's amplitude",
        "  -t          add each echo's time (s)",
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
            switch (a) {
                case "-r": codes.add(ZpkExtraction.EXPORT_REFLECTANCE); break;
                case "-d": codes.add(ZpkExtraction.EXPORT_DEVIATION); break;
                case "-a": codes.add(ZpkExtraction.EXPORT_AMPLITUDE); break;
                case "-t": codes.add(ZpkExtraction.EXPORT_TIME); break;
                case "-q": quiet = true; break;
                case "-h": case "--help":
                    System.out.println(USAGE);
                    return 0;
                default:
                    if (a.startsWith("-"))
                        return usageError("unknown option " + a);
                    if (uri != null)
                        return usageError("more than one scan given");
                    uri = a;
            }
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
        LineOutput out = new LineOutput(new FileOutputStream(FileDescriptor.out));
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
                failure = oneLine(e.getMessage(), e);
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
            if (outputIsPipe() || "Broken pipe".equals(e.getMessage()))
                return OUTPUT_CLOSED;
            System.err.println("error: cannot write the output: " + oneLine(e.getMessage(), e));
            return 1;
        } finally {
            if (connected)
                zpk.closeConnexion(handle);
            zpk.delete(handle);
        }
    }

    /**
     * Standard output that reports a failed write, which System.out swallows:
     * a reader that has gone (| head) must stop the reading, and a full disk
     * must not pass for success. Each line is written at once, so that a live
     * stream shows its shots as they come.
     */
    static final class LineOutput {
        private final OutputStream out;
        private byte[] bytes = new byte[1024];

        LineOutput(OutputStream out) {
            this.out = out;
        }

        /** The line and a line feed; every line the host prints is ASCII. */
        void println(String line) throws IOException {
            int n = line.length();
            if (bytes.length <= n)
                bytes = new byte[2 * n];
            for (int i = 0; i < n; ++i)
                bytes[i] = (byte) line.charAt(i);
            bytes[n] = '\n';
            out.write(bytes, 0, n + 1);
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

    /**
     * What the host can see itself of a scan that did not open (the library
     * says nothing): for a file, whether it is there and readable; for a
     * network stream, the scheme and the address it was to use.
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
            if (host.isEmpty() || service.isEmpty())
                return ": " + scheme + " address '" + authority + "' lacks a host or a port";
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
