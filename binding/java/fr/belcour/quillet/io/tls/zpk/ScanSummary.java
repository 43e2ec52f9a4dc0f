package fr.belcour.quillet.io.tls.zpk;

import java.util.ArrayList;
import java.util.List;
import java.util.Locale;

/**
 * Opens a scan, pulls every shot and prints it, then a summary.
 * Usage: ScanSummary [-r] [-d] [-a] [-t] [-q] URI
 * (-r reflectances, -d deviations, -a amplitudes, -t echo times, -q summary only).
 */
public final class ScanSummary {
    public static void main(String[] args) {
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
                default: uri = a;
            }
        }
        if (uri == null) {
            System.err.println("usage: ScanSummary [-r] [-d] [-a] [-t] [-q] URI");
            System.exit(2);
        }
        int[] exports = codes.stream().mapToInt(Integer::intValue).toArray();

        ZpkExtraction zpk = new ZpkExtraction();
        long handle = zpk.instantiate();
        try {
            if (zpk.open(handle, uri, exports) != 0) {
                System.err.println("cannot open " + uri);
                System.exit(1);
            }
            long shots = 0, echoes = 0;
            double first = Double.NaN, last = Double.NaN, minRange = Double.POSITIVE_INFINITY, maxRange = 0;
            for (Shot s; (s = zpk.getNextShot(handle)) != null; ++shots) {
                if (!quiet)
                    System.out.println(format(shots, s));
                if (shots == 0)
                    first = s.time;
                last = s.time;
                echoes += s.nbEchos;
                for (double r : s.ranges) {
                    minRange = Math.min(minRange, r);
                    maxRange = Math.max(maxRange, r);
                }
            }
            zpk.closeConnexion(handle);
            System.out.println(String.format(Locale.ROOT, "summary shots=%d echoes=%d", shots, echoes)
                    + (shots > 0 ? String.format(Locale.ROOT, " time=[%.9f, %.9f] s", first, last) : "")
                    + (echoes > 0 ? String.format(Locale.ROOT, " range=[%.4f, %.4f] m", minRange, maxRange) : ""));
        } finally {
            zpk.delete(handle);
        }
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
