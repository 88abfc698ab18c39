// Writes an archive of -lh1- members with jLHA, the library behind jlha, whose command
// line offers only -lh5- to -lh7-: an encoder of that method independent of ours.
//
//     javac -cp /usr/share/java/jlha.jar -d DIR JlhaLh1.java
//     java -cp /usr/share/java/jlha.jar:DIR JlhaLh1 ARCHIVE FILE...
//
// jLHA stores a member whose -lh1- data would not be smaller as -lh0-.
import java.io.File;
import java.io.FileOutputStream;
import java.nio.file.Files;
import jp.gr.java_conf.dangan.util.lha.LhaHeader;
import jp.gr.java_conf.dangan.util.lha.LhaOutputStream;

public class JlhaLh1 {
    public static void main(String[] args) throws Exception {
        try (LhaOutputStream out = new LhaOutputStream(new FileOutputStream(args[0]))) {
            for (int i = 1; i < args.length; i++) {
                File file = new File(args[i]);
                LhaHeader header = new LhaHeader(file.getName());
                header.setCompressMethod("-lh1-");
                header.setHeaderLevel(2);
                out.putNextEntry(header);
                out.write(Files.readAllBytes(file.toPath()));
                out.closeEntry();
            }
        }
    }
}
