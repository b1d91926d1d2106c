#!/usr/bin/env python3
"""Builds the skins the UI library tests load: res.zip (MainFrame.xml, Broken.xml and PNGs)."""
import io
import os
import sys
import zipfile

from PIL import Image

SKIN = """<?xml version="1.0" encoding="UTF-8"?>
<Window size="300,200" caption="0,0,300,30" roundcorner="8,8" bkcolor="#FFFFFFFF">
  <Font id="0" name="Tahoma" size="12"/>
  <Font id="1" name="Tahoma" size="16" bold="true"/>
  <Control name="PanelBK" pos="0,0,300,200" bkcolor="#FFFFFFFF"/>
  <Control name="Swatch" pos="10,40,50,60" bkimage="Red.png"/>
  <Control name="Cut" pos="60,40,80,60" bkimage="file='Colors.png' source='10,0,20,10'"/>
  <Control name="Glass" pos="90,40,110,60" bkcolor="#FF0000FF" bkimage="Glass.png"/>
  <Label name="Title" pos="10,5,200,25" text="Vexo模拟器" font="1" textcolor="#FF222222"/>
  <Button name="BtnClose" pos="260,5,290,25" normalimage="file='Colors.png' source='0,0,10,10'"
          hotimage="file='Colors.png' source='10,0,20,10'" pushedimage="file='Colors.png' source='20,0,30,10'"/>
  <Button name="BtnOk" pos="100,150,200,180" text="OK" font="0" textcolor="#FFFFFFFF"
          normalimage="file='Colors.png' source='0,0,10,10'"/>
  <Button name="BtnOff" pos="210,150,290,180" enabled="false" text="Off"/>
  <Edit name="EditPath" pos="10,100,200,124" font="0" text="C:\\start" bkcolor="#FFFFFFFF"/>
  <Progress name="Prog" pos="10,130,210,140" bkcolor="#FF000000" foreimage="Green.png" value="0"/>
  <Progress name="Prog2" pos="220,130,290,140" value="150" min="10" max="200"/>
  <Container name="Panel" pos="0,200,300,260" visible="false">
    <Button name="BtnInPanel" pos="10,210,90,240" text="in"/>
    <Edit name="EditInPanel" pos="100,210,290,234" text="panel"/>
  </Container>
  <Custom name="Mine" pos="0,0,1,1"/>
  <Unknown name="Skipped" pos="0,0,1,1"><Control name="UnderSkipped"/></Unknown>
</Window>
"""

BROKEN = """<Window size="300,200"><Button name="BtnOk" pos="0,0,10,10"></Window>"""


def png(image):
    data = io.BytesIO()
    image.save(data, "PNG")
    return data.getvalue()


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    red = Image.new("RGBA", (40, 20), (255, 0, 0, 255))
    green = Image.new("RGBA", (16, 16), (0, 255, 0, 255))
    # Three 10x10 swatches side by side: blue, yellow, magenta.
    colors = Image.new("RGBA", (30, 10))
    for i, c in enumerate([(0, 0, 255, 255), (255, 255, 0, 255), (255, 0, 255, 255)]):
        colors.paste(c, (i * 10, 0, i * 10 + 10, 10))
    # Fully transparent left half, opaque red right half: drawn over the control's blue.
    glass = Image.new("RGBA", (20, 20), (0, 0, 0, 0))
    glass.paste((255, 0, 0, 255), (10, 0, 20, 20))
    with zipfile.ZipFile(os.path.join(out, "res.zip"), "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("MainFrame.xml", SKIN.encode("utf-8"))
        z.writestr("Broken.xml", BROKEN.encode("utf-8"))
        z.writestr("Red.png", png(red))
        z.writestr("Green.png", png(green))
        z.writestr("Colors.png", png(colors))
        z.writestr("Glass.png", png(glass))


if __name__ == "__main__":
    main()
