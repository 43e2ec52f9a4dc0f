import fr.belcour.quillet.io.tls.zpk.Shot;
import fr.belcour.quillet.io.tls.zpk.ZpkExtraction;

/**
 * The host side of the hand-over benchmark: pulls every shot of a scan through
 * the native methods, as an application would, touching each shot.
 */
public final class HostBench {
    /** Echoes of the shots the last pull received. */
    public static long echoes;

    private HostBench() {}

    /** The number of shots received, or -1 when the scan cannot be opened. */
    public static long pull(String uri, int[] codes) {
        ZpkExtraction zpk = new ZpkExtraction();
        long handle = zpk.instantiate();
        try {
            if (zpk.open(handle, uri, codes) != 0)
                return -1;
            long shots = 0, n = 0;
            for (Shot s; (s = zpk.getNextShot(handle)) != null; ++shots)
                n += s.ranges.length;
            zpk.closeConnexion(handle);
            echoes = n;
            return shots;
        } finally {
            zpk.delete(handle);
        }
    }
}
